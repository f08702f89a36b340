// One response driven through a ResponseHandler the way the filter's entry
// points drive it: a context record in the fake server's AllocMem memory, the
// send-response record copied into it, each raw block handed over in an
// HTTP_FILTER_RAW_DATA record, and the final bytes taken at end of request.
#pragma once

#include "core/ResponseHandler.h"
#include "support/FakeServer.h"
#include "support/StreamTesting.h"

#include <memory>
#include <string>
#include <string_view>

namespace nimbuswatch::test {

struct ExchangeOptions {
  std::string protocol = "HTTP/1.1";
  std::string method = "GET";
  std::string url = "/page.html";
  // The response status the server reports; 0 takes it from the status line.
  DWORD status = 0;
};

class ResponseExchange {
 public:
  // The server's response headers (what GetHeader answers) and its status
  // are read from the header section of `rawResponse`.
  explicit ResponseExchange(std::string_view rawResponse, const ExchangeOptions& options = {});

  // Hands one block over; returns what the server sends in its place.
  std::string feed(std::string_view block);
  // The same with the record itself, as the handler left it.
  HTTP_FILTER_RAW_DATA feedRecord(std::string_view block);
  // End of request: the final bytes.
  std::string finish();
  // Every block, then finish: all the bytes that reach the client.
  std::string run(const Blocks& blocks);

  FakeServer& server() { return fakeServer; }
  ResponseHandler& handler() { return *responseHandler; }
  ResponseContext& context() { return *responseContext; }

 private:
  FakeServer fakeServer;
  ResponseContext* responseContext;
  std::unique_ptr<ResponseHandler> responseHandler;
  std::string block;
};

// All the bytes that reach the client for `rawResponse` cut into `blocks`.
std::string exchange(std::string_view rawResponse, const Blocks& blocks, const ExchangeOptions& options = {});

}  // namespace nimbuswatch::test
