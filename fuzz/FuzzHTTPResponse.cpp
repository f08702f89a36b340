// A whole server response through the response handler, as the filter's
// entry points drive it. The first byte chooses the protocol and the block
// size; the rest is the raw response. Cut into blocks or not, the client
// must receive the same bytes (unframed for HTTP/1.0) or the same header
// section and the same soundly chunked body (HTTP/1.1).
#include "core/Process.h"
#include "support/ResponseExchange.h"
#include "support/StreamTesting.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace nimbuswatch::test;

std::string served(std::string_view response, const ExchangeOptions& options, std::size_t step) {
  Blocks blocks;
  for (std::size_t at = 0; at < response.size(); at += step) blocks.push_back(response.substr(at, step));
  return exchange(response, blocks, options);
}

void compare(const std::string& whole, const std::string& cut, bool chunked) {
  // Identical bytes are always right; this is also how a declined response,
  // passed through untouched, looks.
  if (whole == cut) return;
  // Unframed output must not depend on the cutting at all.
  if (!chunked) std::abort();
  const std::size_t wholeHead = whole.find("\r\n\r\n");
  const std::size_t cutHead = cut.find("\r\n\r\n");
  if (wholeHead != cutHead || whole.compare(0, wholeHead, cut, 0, cutHead) != 0) std::abort();
  if (wholeHead == std::string::npos) return;
  const auto wholeBody = decodeChunked(std::string_view(whole).substr(wholeHead + 4));
  const auto cutBody = decodeChunked(std::string_view(cut).substr(cutHead + 4));
  if (!wholeBody || !cutBody || *wholeBody != *cutBody) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  nimbuswatch::processValues().imagesURL = "/i/";
  ExchangeOptions options;
  const bool chunked = (data[0] & 0x80) == 0;
  options.protocol = chunked ? "HTTP/1.1" : "HTTP/1.0";
  const std::size_t step = 1 + (data[0] & 0x3F);
  const std::string_view response(reinterpret_cast<const char*>(data + 1), size - 1);
  compare(served(response, options, response.size() + 1), served(response, options, step), chunked);
  return 0;
}
