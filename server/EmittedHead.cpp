#include "server/EmittedHead.h"

#include "HTTPStreamParser/HttpRules.h"
#include "server/HeaderFields.h"
#include "platform/Ascii.h"

#include <algorithm>

namespace nimbuswatch::server {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool allDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), isDigit);
}


// "HTTP/1.1 200 OK" into version and status.
bool parseStatusLine(std::string_view line, EmittedHead& head) {
  if (line.size() < 12 || line.substr(0, 7) != "HTTP/1." || line[8] != ' ' ||
      !allDigits(line.substr(9, 3)) || (line.size() > 12 && line[12] != ' ')) {
    return false;
  }
  if (line[7] != '0' && line[7] != '1') {
    return false;
  }
  head.version = line[7] == '0' ? 10 : 11;
  head.status = static_cast<unsigned>((line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0'));
  return true;
}

void noteContentLength(std::string_view value, EmittedHead& head, std::string& seen) {
  if (!allDigits(value) || (head.hasContentLength && value != seen)) {
    head.badContentLength = true;
    return;
  }
  head.hasContentLength = true;
  seen = std::string(value);
}

void noteField(std::string_view name, std::string_view value, EmittedHead& head, std::string& length) {
  if (ascii::equalsIgnoringCase(name, "Content-Length")) {
    noteContentLength(value, head, length);
  } else if (ascii::equalsIgnoringCase(name, "Transfer-Encoding")) {
    head.hasTransferEncoding = true;
    head.chunked = ascii::equalsIgnoringCase(lastToken(value), "chunked");
  } else if (ascii::equalsIgnoringCase(name, "Connection")) {
    head.connectionClose = head.connectionClose || hasToken(value, "close");
    head.connectionKeepAlive = head.connectionKeepAlive || hasToken(value, "keep-alive");
  }
}

bool bodyless(const RequestFacts& request, const EmittedHead& head) {
  return !responseHasBody(request.headRequest, head.status);
}

}  // namespace

std::optional<EmittedHead> parseEmittedHead(std::string_view text) {
  EmittedHead head;
  std::string length;
  std::size_t lineEnd = text.find("\r\n");
  if (lineEnd == std::string_view::npos || !parseStatusLine(text.substr(0, lineEnd), head)) {
    return std::nullopt;
  }
  std::size_t start = lineEnd + 2;
  while ((lineEnd = text.find("\r\n", start)) != std::string_view::npos && lineEnd > start) {
    const std::string_view line = text.substr(start, lineEnd - start);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) {
      return std::nullopt;
    }
    noteField(line.substr(0, colon), ascii::trimmed(line.substr(colon + 1)), head, length);
    start = lineEnd + 2;
  }
  if (lineEnd != start) {
    return std::nullopt;  // the empty line is missing
  }
  return head;
}

void EmittedHeadScanner::reset() {
  collected.clear();
  done = false;
  parsed.reset();
}

void EmittedHeadScanner::feed(std::string_view bytes) {
  if (done || bytes.empty()) {
    return;
  }
  const std::size_t searchFrom = collected.size() < 3 ? 0 : collected.size() - 3;
  collected.append(bytes.data(), std::min(bytes.size(), kMaxHead + 1 - collected.size()));
  const std::size_t end = collected.find("\r\n\r\n", searchFrom);
  if (end != std::string::npos) {
    done = true;
    parsed = parseEmittedHead(std::string_view(collected).substr(0, end + 4));
  } else if (collected.size() > kMaxHead) {
    done = true;
  }
}

bool keepConnection(const RequestFacts& request, const std::optional<EmittedHead>& head) {
  if (!request.keepAlive || !head || head->connectionClose) {
    return false;
  }
  if ((request.version == 10 || head->version == 10) && !head->connectionKeepAlive) {
    return false;
  }
  if (bodyless(request, *head)) {
    return true;
  }
  if (head->badContentLength || (head->hasContentLength && head->hasTransferEncoding)) {
    return false;
  }
  return head->hasContentLength || (head->chunked && request.version == 11);
}

std::string_view connectionFieldFor(const RequestFacts& request, bool framed) {
  if (!request.keepAlive || !framed) {
    return "close";
  }
  return request.version == 10 ? "keep-alive" : "";
}

}  // namespace nimbuswatch::server
