#include "host/session/Session.h"

#include "host/HostLog.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>

#include <algorithm>
#include <chrono>
#include <limits>

namespace nimbuswatch::host {

namespace net = boost::asio;
namespace beast = boost::beast;

namespace {

// How long a closing connection still takes what the client sends, so that
// unread bytes do not turn the close into a reset that destroys the response.
constexpr auto kLinger = std::chrono::seconds(2);
constexpr std::uint32_t kHeaderLimit = 64 * 1024;
constexpr std::size_t kLingerRead = 16 * 1024;
// Beast reads no more than the buffer has room for (512 bytes at least):
// body pieces are read into this much room, released before the next request.
constexpr std::size_t kBodyRead = 64 * 1024;

// How much of what remains to be written each call to the socket is
// offered: all of it. Asio's own rule stops at 64 KiB, so a batch's output,
// a little more than that with its chunk framing, would take two calls.
std::size_t wholeRemainder(const error_code& ec, std::size_t /*written*/) {
  return ec ? 0 : std::numeric_limits<std::size_t>::max();
}

// The status for a request that cannot be read; 0 when the client is gone
// or silent, and nothing is to be answered.
unsigned statusForReadError(error_code ec) {
  if (ec.category() != http::make_error_code(http::error::header_limit).category() ||
      ec == http::error::end_of_stream || ec == http::error::partial_message) {
    return 0;
  }
  if (ec == http::error::header_limit) {
    return 431;
  }
  return ec == http::error::body_limit ? 413 : 400;
}

// The file name of a picture when `path` lies under the filter's ImagesURL.
std::optional<std::string> pictureName(const HostContext& host, const std::string& path) {
  if (host.images.url.empty() || host.images.dir.empty()) {
    return std::nullopt;
  }
  return afterPrefix(path, host.images.url);
}

// Where the URL lies on disk, as URL_MAP shows it to the filter: a picture
// in ImagesDir, a file under --root, nothing for the upstream.
std::string physicalPath(const HostContext& host, const std::string& path, const std::optional<std::string>& picture) {
  if (picture) {
    return joinPath(host.images.dir, *picture);
  }
  return host.options.root.empty() ? std::string() : joinPath(host.options.root, path);
}

}  // namespace

void setConnectionField(Fields& fields, std::string_view value) {
  if (value.empty()) {
    removeField(fields, "Connection");
  } else {
    setField(fields, "Connection", value);
  }
}

Session::Session(net::ip::tcp::socket&& socket, const HostContext& host)
    : stream(std::move(socket)), host(host), filter(host.activeFilter()), files(*this), proxy(*this) {
  ++host.connections;
}

Session::~Session() { --host.connections; }

void Session::run() {
  // Responses leave in several writes (head, body parts, final bytes); none
  // should wait for the client's acknowledgement of the one before.
  error_code ignored;
  stream.socket().set_option(net::ip::tcp::no_delay(true), ignored);
  // Start on the strand, as every later handler does.
  net::dispatch(stream.get_executor(), beast::bind_front_handler(&Session::readRequest, shared_from_this()));
}

void Session::readRequest() {
  if (buffer.size() == 0 && buffer.capacity() > kBodyRead / 4) {
    buffer.shrink_to_fit();
  }
  parser.emplace();
  parser->header_limit(kHeaderLimit);
  // No limit is the largest number: Beast 1.74 compares a Content-Length
  // against an empty limit and fails.
  parser->body_limit(host.options.maxBodySize == 0 ? std::numeric_limits<std::uint64_t>::max()
                                                   : host.options.maxBodySize);
  stream.expires_after(kClientTimeout);
  http::async_read_header(stream, buffer, *parser, [self = shared_from_this()](error_code ec, std::size_t) {
    self->onRequest(ec);
  });
}

void Session::onRequest(error_code ec) {
  if (!ec) {
    handleRequest();
  } else if (const unsigned status = statusForReadError(ec); status != 0) {
    refuse(status);
  } else {
    close();
  }
}

void Session::handleRequest() {
  const auto& request = parser->get();
  facts = {request.version() == 10 ? 10u : 11u, request.keep_alive(), request.method() == http::verb::head};
  facts.keepAlive = facts.keepAlive && ++served < host.options.keepaliveRequests;
  const ParsedTarget parsed = parseTarget(request.target());
  if (parsed.error != TargetError::None) {
    refuse(400);
    return;
  }
  target = parsed.target;
  proxied = !pictureName(host, target.path) && host.options.root.empty();
  const auto expect = request.find(http::field::expect);
  expectContinue = !parser->is_done() && facts.version == 11 && expect != request.end() &&
                   hasToken(expect->value(), "100-continue");
  if (!proxied && !parser->is_done()) {
    dropBody();
  } else {
    startRequest();
  }
}

void Session::startRequest() {
  const auto& request = parser->get();
  stop = false;
  filter.beginRequest({target.path, target.query, std::string(request.method_string()),
                       facts.version == 10 ? "HTTP/1.0" : "HTTP/1.1"});
  const auto picture = pictureName(host, target.path);
  std::string physical = physicalPath(host, target.path, picture);
  if (!proceed(filter.urlMap(physical))) {
    endRequest();
  } else if (proxied) {
    proxy.forward();
  } else {
    files.serve(physical, target);
  }
}

std::string Session::describeRequest() const {
  return std::string(parser->get().method_string()) + " " + logValue(target.path);
}

void Session::readBody(Phase next) {
  buffer.reserve(kBodyRead);
  stream.expires_after(kClientTimeout);
  http::async_read_some(stream, buffer, *parser, [self = shared_from_this(), next](error_code ec, std::size_t) {
    self->onBody(ec, next);
  });
}

void Session::onBody(error_code ec, Phase next) {
  if (!ec) {
    resume(next);
    return;
  }
  const unsigned status = statusForReadError(ec);
  if (status == 0) {
    abandon();
    return;
  }
  // Too large or malformed: what the upstream got of it is abandoned with
  // its connection, and this connection closes after the answer.
  facts.keepAlive = false;
  if (proxied) {
    proxy.releaseUpstream();
  }
  if (filter.requestOpen()) {
    respondLocally(errorResponse(status, facts.headRequest));
  } else {
    refuse(status);
  }
}

void Session::dropBody() {
  if (expectContinue) {
    // The body is not sent yet and not wanted: answer, then close.
    facts.keepAlive = false;
    startRequest();
    return;
  }
  parser->get().body().clear();
  if (parser->is_done()) {
    startRequest();
  } else {
    readBody(Phase::DropBody);
  }
}

void Session::refuse(unsigned status) {
  // Refused before any filter sees the request: the bytes go out as they are.
  const LocalResponse page = errorResponse(status, false);
  Fields fields = page.fields;
  fields.push_back({"Connection", "close"});
  writePastFilter(serializeHead(11, status, reasonPhrase(status), fields) + page.body, Phase::Close);
}

void Session::respondLocally(LocalResponse response) { files.respond(std::move(response)); }

bool Session::proceed(bool goOn) {
  stop = stop || !goOn;
  return !stop;
}

bool Session::sendHead(unsigned status, std::string_view reason, Fields fields) {
  emitted.reset();
  if (!proceed(filter.sendResponse(status, std::move(fields)))) {
    return false;
  }
  emit(serializeHead(11, status, reason, filter.responseFields()));
  return !stop;
}

void Session::emit(std::string_view bytes) {
  const std::size_t size = host.options.blockSize;
  for (std::size_t at = 0; at < bytes.size() && !stop; at += size) {
    proceed(filter.rawData(bytes.substr(at, size)));
  }
}

// Bytes the filter may change where they lie go to it in blocks of
// --block-size without a copy.
void Session::emitInPlace(char* data, std::size_t size) {
  const std::size_t blockSize = host.options.blockSize;
  for (std::size_t at = 0; at < size && !stop; at += blockSize) {
    proceed(filter.rawDataInPlace(data + at, std::min(blockSize, size - at)));
  }
}

void Session::flush(Phase next) {
  // The output is sent from where the filter's bytes collected, and emptied
  // once it is out; nothing adds to it while the write is under way.
  const std::string& output = filter.output();
  emitted.feed(output);
  if (output.empty()) {
    net::post(stream.get_executor(), [self = shared_from_this(), next] { self->resume(next); });
    return;
  }
  write(output, next);
}

void Session::writePastFilter(std::string bytes, Phase next) {
  pastFilter = std::move(bytes);
  write(pastFilter, next);
}

// Every byte to the client leaves here. The bytes stay where they are until
// the write is done; the filter's output is emptied then (nothing else is
// written while it holds anything).
void Session::write(std::string_view bytes, Phase next) {
  stream.expires_after(kClientTimeout);
  net::async_write(stream, net::buffer(bytes.data(), bytes.size()), wholeRemainder,
                   [self = shared_from_this(), next](error_code ec, std::size_t) {
                     self->filter.output().clear();
                     self->resume(ec && next != Phase::Close ? Phase::Abandon : next);
                   });
}

void Session::resume(Phase next) {
  switch (next) {
    case Phase::ReadRequest:
      readRequest();
      return;
    case Phase::DropBody:
      dropBody();
      return;
    case Phase::ForwardBody:
      readBody(Phase::SendBody);
      return;
    case Phase::SendBody:
      proxy.sendBodyPiece();
      return;
    case Phase::PumpFile:
      files.pump();
      return;
    case Phase::ReadUpstreamHead:
      proxy.readHead();
      return;
    case Phase::ReadUpstreamBody:
      proxy.readBody();
      return;
    case Phase::DecodeUpstream:
      proxy.pumpDecoded();
      return;
    case Phase::EndRequest:
      endRequest();
      return;
    case Phase::RequestDone:
      onRequestDone();
      return;
    case Phase::Abandon:
      abandon();
      return;
    case Phase::Close:
      close();
      return;
  }
}

void Session::endRequest() {
  proceed(filter.endOfRequest());
  if (proxied) {
    proxy.releaseUpstream();
  }
  flush(Phase::RequestDone);
}

void Session::onRequestDone() {
  files.reset();
  // A request body still unread would be taken for the next request.
  if (!stop && parser->is_done() && keepConnection(facts, emitted.head())) {
    readRequest();
  } else {
    close();
  }
}

void Session::cutShort(const std::string& reason) {
  logError(describeRequest() + ": " + reason + "; the response is cut off by closing the connection");
  stop = true;
  flush(Phase::Abandon);  // the bytes made so far go out; the end never does
}

void Session::abandon() {
  // The response cannot be completed, or the client is gone: the filter
  // still hears the end of the request, so it can let go of what it holds
  // for it; its last bytes (a last chunk, say) would present the response as
  // whole, so they go nowhere, and only the closed connection tells the
  // client. An upstream connection not read to its end is closed.
  if (filter.requestOpen()) {
    filter.endOfRequest();
  }
  filter.output().clear();
  if (proxied) {
    proxy.releaseUpstream();
  }
  close();
}

void Session::close() {
  error_code ignored;
  stream.socket().shutdown(net::ip::tcp::socket::shutdown_send, ignored);
  stream.expires_after(kLinger);
  linger();
}

void Session::linger() {
  buffer.clear();
  stream.async_read_some(buffer.prepare(kLingerRead), [self = shared_from_this()](error_code ec, std::size_t) {
    if (!ec) {
      self->linger();
    }
  });
}

}  // namespace nimbuswatch::host
