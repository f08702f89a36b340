// Elements rewritten per second: description, spool store and img markup
// for a typical element, repeated (the spool file exists) and new each time.
#include "BenchSupport.h"
#include "HTMLStreamParser/TextimageRewriter.h"

#include <benchmark/benchmark.h>

namespace nimbuswatch {
namespace {

struct NullSink {
  std::size_t bytes = 0;
  void write(const char*, std::int32_t length) { bytes += static_cast<std::size_t>(length); }
};

ElementRecord typicalElement(const std::string& text) {
  ElementRecord record;
  record.name = "textimage";
  record.text = text + "</textimage>";
  record.attributes = {{"font", "\"liberation serif\""}, {"size", "16"}, {"color", "navy"}, {"alt", "\"mail\""}};
  return record;
}

void RepeatedElement(benchmark::State& state) {
  bench::SpoolDirectory spool;
  NullSink sink;
  const Writer writer = Writer::to<&NullSink::write>(sink);
  for (auto _ : state) {
    ElementRecord record = typicalElement("mail@example.org");
    rewriteElement(record, processValues().elementStore(), writer);
  }
  state.SetItemsProcessed(state.iterations());
  benchmark::DoNotOptimize(sink.bytes);
}
BENCHMARK(RepeatedElement);

void NewElement(benchmark::State& state) {
  bench::SpoolDirectory spool;
  NullSink sink;
  const Writer writer = Writer::to<&NullSink::write>(sink);
  std::uint64_t serial = 0;
  for (auto _ : state) {
    ElementRecord record = typicalElement("mail" + std::to_string(serial++) + "@example.org");
    rewriteElement(record, processValues().elementStore(), writer);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(NewElement)->Iterations(20000);

}  // namespace
}  // namespace nimbuswatch
