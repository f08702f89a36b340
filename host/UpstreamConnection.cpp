#include "host/UpstreamConnection.h"

#include <boost/asio/post.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/write.hpp>

#include <algorithm>
#include <chrono>
#include <limits>
#include <utility>

namespace nimbuswatch::host {

namespace {

constexpr auto kTimeout = std::chrono::seconds(60);
constexpr std::size_t kHeadReadSize = 16 * 1024;
constexpr std::uint32_t kHeaderLimit = 64 * 1024;

}  // namespace

UpstreamConnection::UpstreamConnection(const boost::asio::any_io_executor& executor,
                                       const boost::asio::ip::tcp::resolver::results_type& endpoints,
                                       std::size_t blockSize)
    : stream(executor), endpoints(endpoints), blockSize(blockSize) {}

void UpstreamConnection::exchange(Request outgoing, bool head, HeadHandler handler) {
  request = std::move(outgoing);
  headRequest = head;
  onHead = std::move(handler);
  if (connected) {
    send();
  } else {
    connect();
  }
}

void UpstreamConnection::connect() {
  stream.expires_after(kTimeout);
  stream.async_connect(endpoints, [this](error_code ec, const auto& /*endpoint*/) {
    if (ec) {
      std::exchange(onHead, nullptr)(ec, UpstreamHead());
      return;
    }
    connected = true;
    reused = false;
    error_code ignored;
    stream.socket().set_option(boost::asio::ip::tcp::no_delay(true), ignored);
    send();
  });
}

void UpstreamConnection::send() {
  buffer.clear();
  parser.emplace();
  // No limit; boost::none would be the natural way to say so, but Beast 1.74
  // compares a Content-Length against the empty optional and fails.
  parser->body_limit(std::numeric_limits<std::uint64_t>::max());
  parser->header_limit(kHeaderLimit);
  parser->skip(headRequest);
  stream.expires_after(kTimeout);
  http::async_write(stream, request, [this](error_code ec, std::size_t /*bytes*/) {
    if (ec) {
      retryOrFail(ec);
    } else {
      readHead();
    }
  });
}

void UpstreamConnection::readHead() {
  stream.expires_after(kTimeout);
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
      readHead();
    }
    return;
  }
  reused = true;
  parser->eager(true);
  std::exchange(onHead, nullptr)({}, head());
}

bool UpstreamConnection::parseHead(error_code& ec) {
  const std::size_t used = parser->put(buffer.data(), ec);
  buffer.consume(used);
  if (ec == http::error::need_more) {
    ec = {};
  }
  return !ec && parser->is_header_done();
}

void UpstreamConnection::retryOrFail(error_code ec) {
  // A kept connection that the upstream closed while idle fails before the
  // first byte of the answer: send the request once more on a new one.
  const bool retry = reused && buffer.size() == 0 && !parser->got_some();
  error_code ignored;
  stream.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
  stream.close();
  connected = false;
  reused = false;
  if (retry) {
    connect();
  } else {
    std::exchange(onHead, nullptr)(ec, UpstreamHead());
  }
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
  return result;
}

void UpstreamConnection::readBody(bool decoded, PieceHandler handler) {
  decode = decoded;
  onPiece = std::move(handler);
  piece = UpstreamPiece();
  error_code ec;
  parsePiece(ec);
  if (ec || !piece.raw.empty() || piece.done) {
    boost::asio::post(stream.get_executor(), [this, ec] { std::exchange(onPiece, nullptr)(ec, piece); });
    return;
  }
  stream.expires_after(kTimeout);
  stream.async_read_some(buffer.prepare(blockSize),
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
  while (buffer.size() > 0 && !parser->is_done()) {
    const std::size_t used = parser->put(buffer.data(), ec);
    piece.raw += boost::beast::buffers_to_string(boost::beast::buffers_prefix(used, buffer.data()));
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
  const bool keep = connected && parser && parser->is_done() && parser->keep_alive() && buffer.size() == 0;
  parser.reset();
  if (!keep && connected) {
    error_code ignored;
    stream.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    stream.close();
    connected = false;
  }
}

}  // namespace nimbuswatch::host
