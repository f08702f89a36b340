// One client session's connection to the upstream server. HTTP/1.1, kept
// open across the session's requests while the upstream allows it. The
// request goes out as its head and then its body in pieces as they come
// from the client. The response is parsed for its framing only: its head is
// handed over as fields, its body as the raw bytes that arrived (chunk
// framing included) and, for a client that cannot read chunks, as the
// decoded body bytes.
#pragma once

#include "host/http/PieceBody.h"
#include "host/http/ServerNames.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/optional.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace nimbuswatch::host {

struct UpstreamHead {
  unsigned status = 0;
  std::string reason;
  Fields fields;
  bool chunked = false;
  bool hasLength = false;
  bool done = false;  // the response has no body (HEAD, 1xx, 204, 304) or an empty one
  bool interim = false;  // a 1xx response other than 101: the final one follows
};

struct UpstreamPiece {
  std::string raw;      // the bytes as they came, framing included
  std::string decoded;  // the body bytes among them, when asked for
  bool done = false;    // the response is complete
};

class UpstreamConnection {
 public:
  using SentHandler = std::function<void(error_code)>;
  using HeadHandler = std::function<void(error_code, const UpstreamHead&)>;
  // The piece is the connection's own until the next readBody: the handler
  // may change its bytes in place.
  using PieceHandler = std::function<void(error_code, UpstreamPiece&)>;

  // `executor` is the session's strand: every handler runs on it. The
  // upstream may stay silent for `timeout` at most at any step. A piece of
  // the body is what one read of at most `readSize` bytes brings.
  UpstreamConnection(const boost::asio::any_io_executor& executor,
                     const boost::asio::ip::tcp::resolver::results_type& endpoints, std::size_t readSize,
                     std::chrono::seconds timeout);

  // Sends the head of a request: over the kept connection unless the
  // upstream has closed it meanwhile, else over a new one. A kept connection
  // that fails while the head goes out is replaced once.
  void sendHead(std::string head, bool headRequest, SentHandler handler);
  // Sends the next bytes of the request body, framed as the head announced.
  void sendBody(std::string bytes, SentHandler handler);
  // Reads the next head of the response. An interim one comes with
  // `interim` set, and readHead again reads what follows it. When a kept
  // connection turns out closed before the first byte of the answer and the
  // request had no body, the request is sent once more on a new connection.
  void readHead(HeadHandler handler);
  // Reads the next bytes of the body; `decode` asks for the body bytes
  // without their framing too.
  void readBody(bool decode, PieceHandler handler);
  // After the response: keeps the connection when the upstream allows it and
  // the response was read to its end, else closes it.
  void release();

 private:
  bool idleAndOpen();
  void connect();
  void writeHead();
  void readMoreHead();
  void onHeadRead(error_code ec, std::size_t bytes);
  bool parseHead(error_code& ec);
  void newParser();
  void retryOrFail(error_code ec);
  void fail(error_code ec);
  void closeStream();
  void onBodyRead(error_code ec, std::size_t bytes);
  void parsePiece(error_code& ec);
  UpstreamHead head() const;

  boost::beast::tcp_stream stream;
  const boost::asio::ip::tcp::resolver::results_type& endpoints;
  std::size_t readSize;
  std::chrono::seconds timeout;
  boost::beast::flat_buffer buffer;
  std::optional<http::response_parser<PieceBody>> parser;
  std::string requestHead;
  std::string bodyBytes;  // the piece of the body being written
  bool headRequest = false;
  bool bodySent = false;  // part of a body went out: the request cannot be sent again
  bool connected = false;
  bool reused = false;  // the connection carried an earlier exchange
  bool answered = false;  // a head of the current response arrived
  bool decode = false;
  SentHandler onSent;
  HeadHandler onHead;
  PieceHandler onPiece;
  UpstreamPiece piece;
};

}  // namespace nimbuswatch::host
