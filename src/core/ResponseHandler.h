// The per-response objects: the record the server keeps for the filter in
// pFilterContext, and the handler that decides at the first raw block whether
// the response is an HTML page to rewrite, feeds its blocks to the HTTP parser
// and hands the server the rewritten bytes in place of each block.
#pragma once

#include "HTMLStreamParser/TextimageRewriter.h"
#include "HTTPStreamParser/ByteRanges.h"
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
  // Taken at the first raw block. A response that holds part of a page but
  // cannot be rewritten (a range of it) is watched and cut off before any
  // byte of the page passes.
  enum class Decision { Undecided, Rewrite, PassThrough, Watch, CutOff };

  // The bytes `finish` returns; valid until the handler is destroyed.
  struct Bytes {
    const char* data;
    std::int32_t length;
  };

  // `url`, `protocol` and `method` are the server variables "URL",
  // "SERVER_PROTOCOL" and "REQUEST_METHOD" read at send-response; elements
  // of a rewritten page go to `store`.
  ResponseHandler(ResponseContext* context, std::string url, std::string protocol, std::string method,
                  const ElementStore& store);
  ~ResponseHandler();
  ResponseHandler(const ResponseHandler&) = delete;
  ResponseHandler& operator=(const ResponseHandler&) = delete;

  // Handles one raw block; may point it at the handler's own output, or
  // shorten it. False when the response is cut off: the server must close
  // the connection after what the block still holds.
  bool processRawData(HTTP_FILTER_RAW_DATA& rawData);

  // End of request: the response's final bytes, none when it was not rewritten.
  Bytes finish();

  // The value of a response header, or the empty string.
  std::string getResponseHeader(const std::string& name);

  // Adds bytes at the end of the output: the parser's one route out.
  void append(const char* data, std::int32_t length);

  const std::string& getProtocol() const { return protocol; }
  Decision getDecision() const { return decision; }
  std::string_view outputBytes() const { return output; }

 private:
  void rewrite(HTTP_FILTER_RAW_DATA& rawData);
  void decide();
  Decision decisionFor(const std::string& contentType);
  void makeParser();
  void makeWatcher(const std::string& contentType);
  bool watch(HTTP_FILTER_RAW_DATA& rawData);
  void watchBody(const char* data, std::int32_t length);
  void ignore(const char* data, std::int32_t length);
  void cutOff();
  bool isCompressed();
  bool responseHasBody() const;
  bool feedParser(const HTTP_FILTER_RAW_DATA& rawData);
  void releaseOutput();
  void abandonRewriting(const char* reason);

  ResponseContext* context;
  ElementStore store;
  std::unique_ptr<HTTPStreamParser> parser;
  // While a response is watched: its parts' types (a range response of
  // several parts only), and where in the block being read the cut falls.
  std::unique_ptr<PartTypeWatch> parts;
  const char* cutAt = nullptr;
  Decision decision = Decision::Undecided;
  std::string output;
  std::string url;
  std::string protocol;
  std::string method;
};

}  // namespace nimbuswatch
