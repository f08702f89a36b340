#include "SpoolStorage/SpoolStorage.h"

#include "Logger/Logger.h"
#include "platform/Digest.h"
#include "platform/ErrorText.h"
#include "platform/Files.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>

namespace nimbuswatch {

namespace {

constexpr const char* kModule = ".\\src\\SpoolStorage";
// The places the spool's log lines name; their numbers are part of the lines
// sites already watch for.
constexpr CodePlace kWritingSpoolFile{kModule, 27};
constexpr CodePlace kRefusingIdentifier{kModule, 129};

void logWriteFailure(int error) {
  logAt(kWarning, kWritingSpoolFile, "writing spool file: %s", platform::errorText(error).c_str());
}

// Written whole under a temporary name and renamed into place, so a
// concurrent reader never sees a partly written file.
bool writeWhole(const std::string& path, const std::string& text) {
  if (platform::writeFileWhole(path, text)) {
    return true;
  }
  logWriteFailure(errno);
  return false;
}

// The spool files each thread has seen lately, so that a page repeating an
// element does not pay a file-system look-up for every copy. Spool files are
// named by their content and never rewritten, so a file seen a moment ago
// still holds the same bytes; the entries expire after the storage's recheck
// time, which bounds how long a file removed by hand goes unnoticed. Each
// thread has its own table: nothing is shared, nothing is locked. Times come
// from the coarse clock, as the table is consulted for every element.
struct SeenFile {
  std::string path;
  SpoolStorage::Clock::time_point when;
};
constexpr std::size_t kSeenSlots = 64;

SeenFile& seenSlot(const std::string& identifier) {
  thread_local std::array<SeenFile, kSeenSlots> seen;
  // Identifiers are hex digests: their last two digits spread evenly.
  const auto hash = static_cast<std::size_t>(identifier[30]) * 31 + static_cast<std::size_t>(identifier[31]);
  return seen[hash % kSeenSlots];
}

// Whether `seen` holds the file of `identifier` in `directory`.
bool holdsFile(const SeenFile& seen, const std::string& directory, const std::string& identifier) {
  return seen.path.size() == directory.size() + identifier.size() &&
         seen.path.compare(directory.size(), std::string::npos, identifier) == 0 &&
         seen.path.compare(0, directory.size(), directory) == 0;
}

}  // namespace

namespace {

std::uint64_t nextInstance() {
  static std::atomic<std::uint64_t> made{0};
  return ++made;
}

}  // namespace

SpoolStorage::SpoolStorage(std::string directory, std::chrono::milliseconds recheck)
    : directory(std::move(directory)), recheck(recheck), serial(nextInstance()) {}

SpoolStorage::Stored SpoolStorage::storeTrusted(std::string text) {
  std::string identifier = platform::md5Hex(text);
  SeenFile& seen = seenSlot(identifier);
  if (holdsFile(seen, directory, identifier) && Clock::now() - seen.when < recheck) {
    return {std::move(identifier), seen.when + recheck};
  }
  const std::string path = directory + identifier;
  // The name is the digest of the content: a file already there holds these
  // very bytes (renames never leave a partial file under the final name).
  if (platform::pathExists(path) || writeWhole(path, text)) {
    seen.path = path;
    seen.when = Clock::now();
    return {std::move(identifier), seen.when + recheck};
  }
  return {{}, Clock::time_point::min()};
}

std::string SpoolStorage::load(std::string identifier) {
  if (!platform::isPlainFileName(identifier)) {
    logAt(kWarning, kRefusingIdentifier, "refusing spool identifier [%s]", identifier.c_str());
    return {};
  }
  const std::string path = directory + identifier;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    return {};
  }
  // Read straight into the buffer below, without a stream buffer.
  std::setvbuf(file, nullptr, _IONBF, 0);
  std::string text;
  char buffer[8192];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    text.append(buffer, got);
  }
  std::fclose(file);
  return text;
}

}  // namespace nimbuswatch
