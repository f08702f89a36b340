// One response driven through a ResponseHandler the way the filter's entry
// points drive it, on the server emulation's connection: a context record
// in the connection's AllocMem memory, the send-response record copied into
// it, each raw block handed over in an HTTP_FILTER_RAW_DATA record, and the
// final bytes taken at end of request. The handler stays reachable after
// the end, so tests can look at what it decided.
#pragma once

#include "core/ResponseHandler.h"
#include "server/ServerConnection.h"
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

// The header fields of the header section of `rawResponse` (a line that
// begins with a blank continues the one before); its status line is skipped.
server::Fields headerFieldsOf(std::string_view rawResponse);

class ResponseExchange {
 public:
  // The server's response headers (what GetHeader answers) and its status
  // are read from the header section of `rawResponse`.
  explicit ResponseExchange(std::string_view rawResponse, const ExchangeOptions& options = {});

  // Hands one block over; returns what the server sends in its place. Once
  // the handler has cut the response off, nothing more is handed over.
  std::string feed(std::string_view block);
  // The same with the record itself, as the handler left it.
  HTTP_FILTER_RAW_DATA feedRecord(std::string_view block);
  // End of request: the final bytes.
  std::string finish();
  // Every block, then finish: all the bytes that reach the client.
  std::string run(const Blocks& blocks);

  server::ServerConnection& server() { return connection; }
  ResponseHandler& handler() { return *responseHandler; }
  ResponseContext& context() { return *responseContext; }
  // The handler ended the response: the server closes the connection.
  bool wasCutOff() const { return cut; }

 private:
  server::ServerConnection connection{nullptr};
  ResponseContext* responseContext;
  std::unique_ptr<ResponseHandler> responseHandler;
  std::string block;
  bool cut = false;
};

// All the bytes that reach the client for `rawResponse` cut into `blocks`.
std::string exchange(std::string_view rawResponse, const Blocks& blocks, const ExchangeOptions& options = {});

}  // namespace nimbuswatch::test
