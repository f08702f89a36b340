// A whole chunked HTTP/1.1 response with a 1 MiB HTML body, delivered in
// 8 KiB raw blocks through a ResponseHandler and its HTTPStreamParser:
// de-chunked on the way in, re-chunked on the way out into the handler's
// output buffer. One page without elements, one with 1,000 elements of one
// address through the real spool (its file exists after the first).
#include "BenchSupport.h"
#include "core/ResponseHandler.h"
#include "support/ResponseExchange.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <string>

namespace nimbuswatch {
namespace {

constexpr std::size_t kPageSize = 1 << 20;
constexpr std::size_t kChunkSize = 8000;
constexpr std::size_t kBlockSize = 8 << 10;

const char* const kHeaderSection =
    "HTTP/1.1 200 OK\r\n"
    "Date: Tue, 08 Dec 2026 03:00:00 GMT\r\n"
    "Server: Origin/10.0\r\n"
    "Content-Type: text/html; charset=iso-8859-1\r\n"
    "Transfer-Encoding: chunked\r\n"
    "Connection: keep-alive\r\n"
    "\r\n";

// The page in chunks of kChunkSize bytes, each size line with an extension.
std::string chunkedResponse(const std::string& page) {
  std::string raw = kHeaderSection;
  char sizeLine[32];
  for (std::size_t at = 0; at < page.size(); at += kChunkSize) {
    const std::size_t size = std::min(kChunkSize, page.size() - at);
    std::snprintf(sizeLine, sizeof sizeLine, "%zx;n=1\r\n", size);
    raw += sizeLine;
    raw.append(page, at, size);
    raw += "\r\n";
  }
  return raw + "0\r\n\r\n";
}

// Through the filter's dispatch on the server emulation, each block handed
// over in the server's own buffer, as a server does.
void runResponse(benchmark::State& state, const std::string& page) {
  const std::string raw = chunkedResponse(page);
  std::string buffer;
  std::size_t clientBytes = 0;
  const std::string head = raw.substr(0, raw.find("\r\n\r\n") + 4);
  for (auto _ : state) {
    test::ResponseExchange response(head);
    clientBytes = 0;
    for (std::size_t at = 0; at < raw.size(); at += kBlockSize) {
      buffer.assign(raw, at, std::min(kBlockSize, raw.size() - at));
      clientBytes += response.feedInPlace(buffer.data(), buffer.size());
    }
    clientBytes += response.finish().size();
  }
  if (clientBytes < page.size()) {
    state.SkipWithError("the response was not rewritten");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * raw.size()));
}

void ChunkedResponsePassThrough(benchmark::State& state) {
  bench::SpoolDirectory spool;
  runResponse(state, bench::ordinaryPage(kPageSize));
}
BENCHMARK(ChunkedResponsePassThrough);

void ChunkedResponseThousandElements(benchmark::State& state) {
  bench::SpoolDirectory spool;
  runResponse(state, bench::pageWithElements(kPageSize, 1000));
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(ChunkedResponseThousandElements);

}  // namespace
}  // namespace nimbuswatch
