// The HTML scanner on 1 MiB pages fed in 8 KiB blocks, with a sink that
// copies every run: a page with no element, one with 1,000 elements of one
// address through the real spool (its file exists after the first), and a
// page of element starts that never become elements, between closing tags,
// which must not cost much more per byte than an ordinary page although
// the scanner remembers an element.
#include "BenchSupport.h"
#include "HTMLStreamParser/HTMLStreamParser.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace nimbuswatch {
namespace {

constexpr std::size_t kPageSize = 1 << 20;
constexpr std::size_t kBlockSize = 8 << 10;

// Copies every run into one buffer, as an output buffer would.
struct CopySink {
  std::string buffer;
  CopySink() { buffer.reserve(2 * kPageSize); }
  void write(const char* data, std::int32_t length) { buffer.append(data, static_cast<std::size_t>(length)); }
};

void scanPage(benchmark::State& state, const std::string& page) {
  CopySink sink;
  for (auto _ : state) {
    sink.buffer.clear();
    HTMLStreamParser parser(Writer::to<&CopySink::write>(sink), processValues().elementStore());
    for (std::size_t at = 0; at < page.size(); at += kBlockSize) {
      parser.feed(page.data() + at, static_cast<std::int32_t>(std::min(kBlockSize, page.size() - at)));
    }
    parser.flush();
    benchmark::DoNotOptimize(sink.buffer.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.size()));
}

void PassThrough(benchmark::State& state) {
  bench::SpoolDirectory spool;
  scanPage(state, bench::ordinaryPage(kPageSize));
}
BENCHMARK(PassThrough);

void ThousandElements(benchmark::State& state) {
  bench::SpoolDirectory spool;
  scanPage(state, bench::pageWithElements(kPageSize, 1000));
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(ThousandElements);

void ElementStartsOnly(benchmark::State& state) {
  bench::SpoolDirectory spool;
  std::string page = "<textimage>remembered</textimage>";
  while (page.size() < kPageSize) {
    for (int i = 0; i < 80; ++i) {
      page += "<textimage ";
    }
    page += "</textimage>";
  }
  page.resize(kPageSize);
  scanPage(state, page);
}
BENCHMARK(ElementStartsOnly);

}  // namespace
}  // namespace nimbuswatch
