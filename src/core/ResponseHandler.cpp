#include "core/ResponseHandler.h"

#include "HTTPStreamParser/HTTPStreamParser.h"
#include "Logger/Logger.h"

#include <cstring>
#include <exception>
#include <limits>

namespace nimbuswatch {

namespace {

constexpr const char* kModule = ".\\src\\core";
constexpr std::string_view kHTMLType = "text/html";
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

void ResponseHandler::processRawData(HTTP_FILTER_RAW_DATA& rawData) {
  if (decision == Decision::Undecided) {
    decide();
  }
  if (decision != Decision::Rewrite) {
    return;
  }
  releaseOutput();
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
  decision = contentType.starts_with(kHTMLType) && responseHasBody() ? Decision::Rewrite : Decision::PassThrough;
  logMessage(kNotice, "Content-type=[%s]", contentType.c_str());
  if (decision == Decision::Rewrite) {
    makeParser();
  }
  logMessage(kNotice, "%s [%s] [%s]", decision == Decision::Rewrite ? "parsing" : "declined", protocol.c_str(),
             url.c_str());
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

bool ResponseHandler::responseHasBody() const {
  if (method == "HEAD") {
    return false;
  }
  const DWORD status = context->sendResponse.HttpStatus;
  return !(status >= 100 && status <= 199) && status != 204 && status != 304;
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
