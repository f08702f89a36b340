// The per-response objects: the record the server keeps for the filter in
// pFilterContext, and the handler that decides at the first raw block whether
// the response is an HTML page to rewrite, feeds its blocks to the HTTP parser
// and hands the server the rewritten bytes in place of each block.
#pragma once

#include "platform/isapi.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace nimbuswatch {

class HTTPStreamParser;
class ResponseHandler;

// A plain record in memory from the server's AllocMem; the filter never
// frees it.
struct ResponseContext {
  // The filter context of the latest notification.
  HTTP_FILTER_CONTEXT* pfc;
  // The send-response record, copied whole; its GetHeader reads the headers.
  HTTP_FILTER_SEND_RESPONSE sendResponse;
  // Owned; made at send-response, destroyed at end of request.
  ResponseHandler* handler;
  // 1 once the request has ended; blocks the handler from then on.
  std::int32_t finished;
};

class ResponseHandler {
 public:
  // The bytes `finish` returns; valid until the handler is destroyed.
  struct Bytes {
    const char* data;
    std::int32_t length;
  };

  // `url`, `protocol` and `method` are the server variables "URL",
  // "SERVER_PROTOCOL" and "REQUEST_METHOD" read at send-response.
  ResponseHandler(ResponseContext* context, std::string url, std::string protocol, std::string method);
  ~ResponseHandler();
  ResponseHandler(const ResponseHandler&) = delete;
  ResponseHandler& operator=(const ResponseHandler&) = delete;

  // Handles one raw block; may point it at the handler's own output.
  void processRawData(HTTP_FILTER_RAW_DATA& rawData);

  // End of request: the response's final bytes, none when it was not rewritten.
  Bytes finish();

  // The value of a response header, or the empty string.
  std::string getResponseHeader(const std::string& name);

  // The response is passed through untouched.
  void decline();

  // Add bytes at the end of the output.
  void append(const char* data, std::int32_t length);
  void append(std::string_view bytes);

  const std::string& getProtocol() const { return protocol; }
  std::int32_t getDecision() const { return decision; }
  std::string_view outputBytes() const { return output; }

 private:
  void decide();
  bool responseHasBody() const;
  bool feedParser(const HTTP_FILTER_RAW_DATA& rawData);
  void releaseOutput();
  void abandonRewriting(const char* reason);

  ResponseContext* context;
  std::unique_ptr<HTTPStreamParser> parser;
  // -1 not yet decided, 1 rewrite, 0 pass through.
  std::int32_t decision = -1;
  std::string output;
  std::string url;
  std::string protocol;
  std::string method;
};

}  // namespace nimbuswatch
