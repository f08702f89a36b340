#include "host/session/UpstreamConnection.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/error.hpp>

#include <sys/socket.h>

#include <cerrno>
#include <limits>
#include <utility>

namespace nimbuswatch::host {

namespace {

constexpr std::size_t kHeadReadSize = 16 * 1024;
constexpr std::uint32_t kHeaderLimit = 64 * 1024;

}  // namespace

UpstreamConnection::UpstreamConnection(const boost::asio::any_io_executor& executor,
                                       const boost::asio::ip::tcp::resolver::results_type& endpoints,
                                       std::size_t readSize, std::chrono::seconds timeout)
    : stream(executor), endpoints(endpoints), readSize(readSize), timeout(timeout) {}

void UpstreamConnection::sendHead(std::string head, bool headOnly, SentHandler handler) {
  requestHead = std::move(head);
  headRequest = headOnly;
  bodySent = false;
  answered = false;
  onSent = std::move(handler);
  if (connected && !idleAndOpen()) {
    closeStream();
  }
  if (connected) {
    writeHead();
  } else {
    connect();
  }
}

bool UpstreamConnection::idleAndOpen() {
  // A kept connection has nothing to read: a byte means the upstream sent
  // something unasked, the end means it closed the connection meanwhile.
  char byte = 0;
  const ssize_t count = ::recv(stream.socket().native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

void UpstreamConnection::connect() {
  stream.expires_after(timeout);
  stream.async_connect(endpoints, [this](error_code ec, const auto& /*endpoint*/) {
    if (ec) {
      fail(ec);
      return;
    }
    connected = true;
    reused = false;
    error_code ignored;
    stream.socket().set_option(boost::asio::ip::tcp::no_delay(true), ignored);
    writeHead();
  });
}

void UpstreamConnection::writeHead() {
  buffer.clear();
  parser.reset();
  stream.expires_after(timeout);
  boost::asio::async_write(stream, boost::asio::buffer(requestHead), [this](error_code ec, std::size_t /*bytes*/) {
    if (ec) {
      retryOrFail(ec);
    } else if (onSent) {
      std::exchange(onSent, nullptr)({});
    } else {
      readHead(std::exchange(onHead, nullptr));  // sent again after a kept connection failed
    }
  });
}

void UpstreamConnection::sendBody(std::string bytes, SentHandler handler) {
  bodySent = true;
  bodyBytes = std::move(bytes);
  onSent = std::move(handler);
  stream.expires_after(timeout);
  boost::asio::async_write(stream, boost::asio::buffer(bodyBytes), [this](error_code ec, std::size_t /*bytes*/) {
    if (ec) {
      closeStream();
    }
    std::exchange(onSent, nullptr)(ec);
  });
}

void UpstreamConnection::newParser() {
  parser.emplace();
  // No limit; boost::none would be the natural way to say so, but Beast 1.74
  // compares a Content-Length against the empty optional and fails.
  parser->body_limit(std::numeric_limits<std::uint64_t>::max());
  parser->header_limit(kHeaderLimit);
  parser->skip(headRequest);
}

void UpstreamConnection::readHead(HeadHandler handler) {
  onHead = std::move(handler);
  newParser();
  error_code ec;
  if (buffer.size() > 0 && (parseHead(ec) || ec)) {
    // An interim response came with what follows it in one read.
    boost::asio::post(stream.get_executor(), [this, ec] {
      if (ec) {
        fail(ec);
      } else {
        std::exchange(onHead, nullptr)({}, head());
      }
    });
    return;
  }
  readMoreHead();
}

void UpstreamConnection::readMoreHead() {
  stream.expires_after(timeout);
  stream.async_read_some(buffer.prepare(kHeadReadSize),
                         [this](error_code ec, std::size_t bytes) { onHeadRead(ec, bytes); });
}

void UpstreamConnection::onHeadRead(error_code ec, std::size_t bytes) {
  buffer.commit(bytes);
  if (ec) {
    retryOrFail(ec);
    return;
  }
  if (!parseHead(ec)) {
    if (ec) {
      retryOrFail(ec);
    } else {
      readMoreHead();
    }
    return;
  }
  std::exchange(onHead, nullptr)({}, head());
}

bool UpstreamConnection::parseHead(error_code& ec) {
  const std::size_t used = parser->put(buffer.data(), ec);
  buffer.consume(used);
  if (ec == http::error::need_more) {
    ec = {};
  }
  if (ec || !parser->is_header_done()) {
    return false;
  }
  reused = true;
  answered = true;
  parser->eager(true);
  return true;
}

void UpstreamConnection::retryOrFail(error_code ec) {
  // A kept connection that the upstream closed while idle fails before the
  // first byte of the answer: send the request once more on a new one, as
  // long as no part of its body is gone.
  const bool retry = reused && !answered && !bodySent && buffer.size() == 0 && !(parser && parser->got_some());
  closeStream();
  if (retry) {
    connect();
  } else {
    fail(ec);
  }
}

void UpstreamConnection::fail(error_code ec) {
  if (onSent) {
    std::exchange(onSent, nullptr)(ec);
  } else if (onHead) {
    std::exchange(onHead, nullptr)(ec, UpstreamHead());
  }
}

void UpstreamConnection::closeStream() {
  error_code ignored;
  stream.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
  stream.close();
  connected = false;
  reused = false;
}

UpstreamHead UpstreamConnection::head() const {
  const auto& message = parser->get();
  UpstreamHead result;
  result.status = message.result_int();
  result.reason = std::string(message.reason());
  for (const auto& field : message) {
    result.fields.push_back({std::string(field.name_string()), std::string(field.value())});
  }
  result.chunked = parser->chunked();
  result.hasLength = parser->content_length().has_value();
  result.done = parser->is_done();
  result.interim = result.status / 100 == 1 && result.status != 101;
  return result;
}

void UpstreamConnection::readBody(bool decoded, PieceHandler handler) {
  decode = decoded;
  onPiece = std::move(handler);
  // The strings keep their room from piece to piece.
  piece.raw.clear();
  piece.decoded.clear();
  piece.done = false;
  error_code ec;
  parsePiece(ec);
  if (ec || !piece.raw.empty() || piece.done) {
    boost::asio::post(stream.get_executor(), [this, ec] { std::exchange(onPiece, nullptr)(ec, piece); });
    return;
  }
  stream.expires_after(timeout);
  stream.async_read_some(buffer.prepare(readSize),
                         [this](error_code ec, std::size_t bytes) { onBodyRead(ec, bytes); });
}

void UpstreamConnection::onBodyRead(error_code ec, std::size_t bytes) {
  buffer.commit(bytes);
  if (ec == boost::asio::error::eof) {
    // A body that runs until the connection closes ends here; any other
    // framing left incomplete is an error.
    ec = {};
    parser->put_eof(ec);
    piece.done = !ec;
  } else if (!ec) {
    parsePiece(ec);
  }
  if (ec || !piece.raw.empty() || piece.done) {
    std::exchange(onPiece, nullptr)(ec, piece);
    return;
  }
  readBody(decode, std::exchange(onPiece, nullptr));
}

void UpstreamConnection::parsePiece(error_code& ec) {
  // The body bytes are only wanted decoded; the raw bytes carry them anyway.
  parser->get().body().keep = decode;
  while (buffer.size() > 0 && !parser->is_done()) {
    const std::size_t used = parser->put(buffer.data(), ec);
    piece.raw.append(static_cast<const char*>(buffer.data().data()), used);
    buffer.consume(used);
    if (ec == http::error::need_more) {
      ec = {};
      break;
    }
    if (ec || used == 0) {
      break;
    }
  }
  if (decode) {
    piece.decoded += parser->get().body();
  }
  parser->get().body().clear();
  piece.done = parser->is_done();
}

void UpstreamConnection::release() {
  // A 101 would hand the connection over to another protocol: never kept.
  const bool keep = connected && parser && parser->is_done() && parser->keep_alive() && buffer.size() == 0 &&
                    parser->get().result_int() != 101;
  parser.reset();
  if (!keep && connected) {
    closeStream();
  }
}

}  // namespace nimbuswatch::host
