// The response as the client sees it: the status line and header section
// read back from the bytes that actually went to the socket, after the
// filter had its say. Whether the connection stays open is decided from
// these, never from what the host meant to send.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace nimbuswatch::server {

struct EmittedHead {
  unsigned version = 11;  // 10 or 11
  unsigned status = 0;
  bool hasContentLength = false;  // one valid length, or several equal ones
  bool badContentLength = false;  // unreadable, or several that differ
  bool hasTransferEncoding = false;
  bool chunked = false;  // the last transfer coding is chunked
  bool connectionClose = false;
  bool connectionKeepAlive = false;
};

// Parses a complete head, empty line included. Nothing when the status line
// is not "HTTP/1.0" or "HTTP/1.1" with a three-digit code, or a header line
// has no colon.
std::optional<EmittedHead> parseEmittedHead(std::string_view head);

// Collects the bytes sent for one response until the head is complete.
class EmittedHeadScanner {
 public:
  // A head longer than this is treated as malformed.
  static constexpr std::size_t kMaxHead = 64 * 1024;

  void reset();
  void feed(std::string_view bytes);
  bool finished() const { return done; }
  // The parsed head once its empty line has gone out; nothing before that,
  // or when it was malformed or too long.
  const std::optional<EmittedHead>& head() const { return parsed; }

 private:
  std::string collected;
  bool done = false;
  std::optional<EmittedHead> parsed;
};

// What the request itself says about the connection.
struct RequestFacts {
  unsigned version = 11;    // 10 or 11
  bool keepAlive = true;    // 1.1 without "close", or 1.0 with "keep-alive"
  bool headRequest = false; // the response carries no body
};

// True when the connection can carry another request after this response:
// the client did not ask to close, the emitted head is complete and does not
// say "Connection: close" (an HTTP/1.0 head or an HTTP/1.0 request needs an
// explicit "keep-alive"), and the client can find the response's end — a
// response without a body, one valid Content-Length, or chunked framing
// towards an HTTP/1.1 client. A head that carries both a length and a
// transfer coding is ambiguous and closes.
bool keepConnection(const RequestFacts& request, const std::optional<EmittedHead>& head);

// The Connection field the host itself writes into a response it is about
// to hand to the filter: "close" when the client asked to close or the body
// will not be framed (`framed`: no body, a Content-Length, or chunked to an
// HTTP/1.1 client), "keep-alive" to an HTTP/1.0 client that asked for it,
// otherwise none (empty).
std::string_view connectionFieldFor(const RequestFacts& request, bool framed);

}  // namespace nimbuswatch::server
