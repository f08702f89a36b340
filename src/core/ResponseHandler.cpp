#include "core/ResponseHandler.h"

#include "HTTPStreamParser/HTTPStreamParser.h"
#include "HTTPStreamParser/HttpRules.h"
#include "Logger/Logger.h"
#include "platform/Ascii.h"

#include <cstring>
#include <exception>
#include <limits>

namespace nimbuswatch {

namespace {

constexpr const char* kModule = ".\\src\\core";
constexpr DWORD kPartialContent = 206;
// Room for the framing the parser adds around a block's bytes.
constexpr std::size_t kFramingRoom = 256;

}  // namespace

ResponseHandler::ResponseHandler(ResponseContext* context, std::string url, std::string protocol,
                                 std::string method, const ElementStore& store)
    : context(context),
      store(store),
      url(std::move(url)),
      protocol(std::move(protocol)),
      method(std::move(method)) {}

ResponseHandler::~ResponseHandler() = default;

bool ResponseHandler::processRawData(HTTP_FILTER_RAW_DATA& rawData) {
  if (decision == Decision::Undecided) {
    decide();
  }
  switch (decision) {
    case Decision::Rewrite:
      rewrite(rawData);
      return true;
    case Decision::Watch:
    case Decision::CutOff:
      return watch(rawData);
    case Decision::Undecided:
    case Decision::PassThrough:
      return true;
  }
  return true;
}

void ResponseHandler::rewrite(HTTP_FILTER_RAW_DATA& rawData) {
  // The buffer of the block before is reused: the server has taken its
  // bytes by now, and the response's blocks are of a size.
  output.clear();
  output.reserve(rawData.cbInData + kFramingRoom);
  if (!feedParser(rawData)) {
    return;
  }
  rawData.pvInData = output.empty() ? nullptr : output.data();
  rawData.cbInData = static_cast<DWORD>(output.size());
}

// Taken once, at the first raw block. A response that has no body by HTTP
// (the answer to HEAD, a status 1xx, 204 or 304) is never rewritten: the
// chunked framing and the last chunk added at the end of the request would
// otherwise run into the next response on a kept-alive connection.
void ResponseHandler::decide() {
  const std::string contentType = getResponseHeader("content-type");
  logMessage(kNotice, "Content-type=[%s]", contentType.c_str());
  decision = decisionFor(contentType);
  if (decision == Decision::Rewrite) {
    makeParser();
  } else if (decision == Decision::Watch) {
    makeWatcher(contentType);
  }
  logMessage(kNotice, "%s [%s] [%s]", decision == Decision::Rewrite ? "parsing" : "declined", protocol.c_str(),
             url.c_str());
}

// A range of a page cannot be rewritten, since an element may begin before
// it or end after it: such a response is watched and cut off where the page
// begins. A compressed page cannot be read; it passes, with a warning.
ResponseHandler::Decision ResponseHandler::decisionFor(const std::string& contentType) {
  if (!responseHasBody()) {
    return Decision::PassThrough;
  }
  if (isByteRangesType(contentType)) {
    return Decision::Watch;
  }
  if (!isPageType(contentType)) {
    return Decision::PassThrough;
  }
  if (context->sendResponse.HttpStatus == kPartialContent) {
    return Decision::Watch;
  }
  if (isCompressed()) {
    logMessage(kWarning, "compressed page not rewritten: %s", url.c_str());
    return Decision::PassThrough;
  }
  return Decision::Rewrite;
}

void ResponseHandler::makeParser() {
  const std::string transferEncoding = getResponseHeader("transfer-encoding");
  const std::string contentLength = getResponseHeader("content-length");
  try {
    parser = std::make_unique<HTTPStreamParser>(ResponseFacts{transferEncoding, contentLength, protocol},
                                                Writer::to<&ResponseHandler::append>(*this), store);
    if (parser->isDeclined()) {
      decision = Decision::PassThrough;
    }
  } catch (const std::exception& error) {
    logAt(kCritical, {kModule, __LINE__}, "cannot make the response parser: %s", error.what());
    parser.reset();
    decision = Decision::PassThrough;
  }
}

bool ResponseHandler::isCompressed() {
  const std::string contentEncoding = getResponseHeader("content-encoding");
  return !contentEncoding.empty() && !ascii::equalsIgnoringCase(contentEncoding, "identity");
}

// The watcher follows the response's framing to find where its body
// begins and, for several ranges, reads each part's type. Without a
// boundary, or compressed, the parts cannot be told apart: the body is cut
// off where it begins. Without a known framing the body cannot be found:
// the response is cut off at its first byte.
void ResponseHandler::makeWatcher(const std::string& contentType) {
  const std::string transferEncoding = getResponseHeader("transfer-encoding");
  const std::string contentLength = getResponseHeader("content-length");
  try {
    if (const std::string boundary = boundaryOf(contentType);
        isByteRangesType(contentType) && !boundary.empty() && !isCompressed()) {
      parts = std::make_unique<PartTypeWatch>(boundary);
    }
    parser = std::make_unique<HTTPStreamParser>(ResponseFacts{transferEncoding, contentLength, protocol},
                                                Writer::to<&ResponseHandler::ignore>(*this),
                                                Writer::to<&ResponseHandler::watchBody>(*this));
    if (!parser->isDeclined()) {
      return;
    }
  } catch (const std::exception& error) {
    logAt(kCritical, {kModule, __LINE__}, "cannot watch the response: %s", error.what());
  }
  cutOff();
}

bool ResponseHandler::watch(HTTP_FILTER_RAW_DATA& rawData) {
  if (decision == Decision::CutOff) {
    rawData.cbInData = 0;
    return false;
  }
  const char* block = static_cast<const char*>(rawData.pvInData);
  parser->parse(block, static_cast<std::int32_t>(rawData.cbInData));
  if (cutAt == nullptr) {
    return true;
  }
  rawData.cbInData = static_cast<DWORD>(cutAt - block);
  cutOff();
  return false;
}

// Body bytes of a watched response, where they lie in the block being read.
void ResponseHandler::watchBody(const char* data, std::int32_t length) {
  if (cutAt != nullptr) {
    return;
  }
  if (parts) {
    parts->feed(data, length);
  }
  if (!parts || parts->foundPage()) {
    cutAt = data;
  }
}

void ResponseHandler::ignore(const char* /*data*/, std::int32_t /*length*/) {}

void ResponseHandler::cutOff() {
  logMessage(kWarning, "partial page cut off: %s", url.c_str());
  decision = Decision::CutOff;
}

bool ResponseHandler::responseHasBody() const {
  return nimbuswatch::responseHasBody(method == "HEAD", static_cast<unsigned>(context->sendResponse.HttpStatus));
}

// The parser's internal guards raise an exception that no input should reach.
// Should one arrive, it stops here: from this block on the server's bytes go
// out as the server gave them.
bool ResponseHandler::feedParser(const HTTP_FILTER_RAW_DATA& rawData) {
  try {
    parser->parse(static_cast<const char*>(rawData.pvInData), static_cast<std::int32_t>(rawData.cbInData));
    return true;
  } catch (const std::exception& error) {
    abandonRewriting(error.what());
    return false;
  }
}

void ResponseHandler::abandonRewriting(const char* reason) {
  logAt(kCritical, {kModule, __LINE__}, "internal error, passing the response on unchanged: %s", reason);
  decision = Decision::PassThrough;
  releaseOutput();
}

ResponseHandler::Bytes ResponseHandler::finish() {
  if (decision != Decision::Rewrite) {
    return {nullptr, 0};
  }
  releaseOutput();
  try {
    parser->finish();
  } catch (const std::exception& error) {
    abandonRewriting(error.what());
    return {nullptr, 0};
  }
  return {output.data(), static_cast<std::int32_t>(output.size())};
}

std::string ResponseHandler::getResponseHeader(const std::string& name) {
  HTTP_FILTER_CONTEXT* pfc = context->pfc;
  const auto getHeader = context->sendResponse.GetHeader;
  if (pfc == nullptr || getHeader == nullptr) {
    return {};
  }
  // GetHeader expects the name with its colon.
  std::string headerName = name + ":";
  DWORD size = 0;
  getHeader(pfc, headerName.data(), nullptr, &size);
  if (size == 0 || size == std::numeric_limits<DWORD>::max()) {
    return {};
  }
  // The value goes into memory of the handler's own, not the server's
  // per-connection memory, which would grow with every response on a
  // kept-alive connection.
  std::string buffer(size + 1, '\0');
  DWORD bufferSize = size + 1;
  if (!getHeader(pfc, headerName.data(), buffer.data(), &bufferSize)) {
    return {};
  }
  buffer.resize(::strnlen(buffer.data(), size));
  return buffer;
}

void ResponseHandler::append(const char* data, std::int32_t length) {
  if (length > 0) {
    output.append(data, static_cast<std::size_t>(length));
  }
}


void ResponseHandler::releaseOutput() { std::string().swap(output); }

}  // namespace nimbuswatch
