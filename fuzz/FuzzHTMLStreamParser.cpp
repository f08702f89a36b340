// The HTML scanner against the byte-at-a-time model: the first byte of the
// input chooses how the rest is cut into blocks; both must make the same
// writes, and their bytes must not depend on the cutting.
#include "HTMLStreamParser/HTMLStreamParser.h"
#include "HTMLStreamParser/ReferenceScanner.h"
#include "SpoolStorage/SpoolStorage.h"
#include "core/Process.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using nimbuswatch::Writer;

struct Recorder {
  std::vector<std::string> writes;
  void write(const char* data, std::int32_t length) {
    if (length <= 0) std::abort();
    writes.emplace_back(data, static_cast<std::size_t>(length));
  }
};

template <class Scanner>
std::vector<std::string> scan(const std::string& input, std::size_t step) {
  Recorder recorder;
  Scanner scanner(Writer::to<&Recorder::write>(recorder), nimbuswatch::processValues().elementStore());
  for (std::size_t at = 0; at < input.size(); at += step) {
    scanner.feed(input.data() + at, static_cast<std::int32_t>(std::min(step, input.size() - at)));
  }
  scanner.flush();
  return recorder.writes;
}

std::string joined(const std::vector<std::string>& writes) {
  std::string all;
  for (const auto& w : writes) all += w;
  return all;
}

// A spool of its own, made once and removed at exit: with it the scanner
// remembers the elements it rewrote, and answers repeated ones from memory,
// as in a server.
struct FuzzSpool {
  std::string directory = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "nimbuswatch-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern + "/";
  }();
  nimbuswatch::SpoolStorage spool{directory};
  ~FuzzSpool() {
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
  }
};

nimbuswatch::SpoolStorage& fuzzSpool() {
  static FuzzSpool made;
  return made.spool;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  nimbuswatch::processValues().imagesURL = "/i/";
  nimbuswatch::processValues().spool = &fuzzSpool();
  const std::size_t step = 1 + data[0] % 64;
  const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  const auto writes = scan<nimbuswatch::HTMLStreamParser>(input, step);
  if (writes != scan<nimbuswatch::test::ReferenceScanner>(input, step)) std::abort();
  if (joined(writes) != joined(scan<nimbuswatch::HTMLStreamParser>(input, input.size() + 1))) std::abort();
  return 0;
}
