// One response driven through the filter's own dispatch, in this process:
// the server emulation's connection delivers SF_NOTIFY_SEND_RESPONSE, each
// raw block and SF_NOTIFY_END_OF_REQUEST to the filter's HttpFilterProc, as
// the web server does, with the process-wide values a test fixture set up.
// The response's handler can be reached while the response is open, so
// tests can call it directly and see what it decided.
#pragma once

#include "core/ResponseHandler.h"
#include "server/LoadedFilter.h"
#include "server/ServerConnection.h"
#include "support/StreamTesting.h"

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
  // the filter has cut the response off, nothing more is handed over.
  std::string feed(std::string_view block);
  // The same for a block the filter may change where it lies, as servers
  // hand over their own buffers; returns how many bytes the server sends.
  std::size_t feedInPlace(char* block, std::size_t size);
  // End of request: the final bytes.
  std::string finish();
  // Every block, then finish: all the bytes that reach the client.
  std::string run(const Blocks& blocks);

  server::ServerConnection& server() { return connection; }
  // The response's handler, while the response is open.
  ResponseHandler& handler();
  // What the handler decided, as it stood after the latest block.
  ResponseHandler::Decision decision() const { return decided; }
  // The filter ended the response: the server closes the connection.
  bool wasCutOff() const { return cut; }

 private:
  void noteDecision();

  server::LoadedFilter filter;
  server::ServerConnection connection;
  ResponseHandler::Decision decided = ResponseHandler::Decision::Undecided;
  bool cut = false;
};

// All the bytes that reach the client for `rawResponse` cut into `blocks`.
std::string exchange(std::string_view rawResponse, const Blocks& blocks, const ExchangeOptions& options = {});

}  // namespace nimbuswatch::test
