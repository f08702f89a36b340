#include "host/Session.h"

#include "host/StaticFiles.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>

#include <algorithm>
#include <chrono>

namespace nimbuswatch::host {

namespace net = boost::asio;
namespace beast = boost::beast;

namespace {

constexpr auto kTimeout = std::chrono::seconds(30);
constexpr std::uint32_t kHeaderLimit = 64 * 1024;
constexpr std::uint64_t kBodyLimit = 64 * 1024 * 1024;
// The output made from this many bytes of a file goes out in one write.
constexpr std::size_t kBatch = 64 * 1024;

unsigned statusForReadError(error_code ec) {
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
    : stream(std::move(socket)), host(host), filter(host.activeFilter()), block(host.options.blockSize) {}

void Session::run() {
  // Responses leave in several writes (head, body parts, final bytes); none
  // should wait for the client's acknowledgement of the one before.
  error_code ignored;
  stream.socket().set_option(net::ip::tcp::no_delay(true), ignored);
  // Start on the strand, as every later handler does.
  net::dispatch(stream.get_executor(), beast::bind_front_handler(&Session::readRequest, shared_from_this()));
}

void Session::readRequest() {
  parser.emplace();
  parser->header_limit(kHeaderLimit);
  parser->body_limit(kBodyLimit);
  stream.expires_after(kTimeout);
  http::async_read(stream, buffer, *parser, beast::bind_front_handler(&Session::onRequest, shared_from_this()));
}

void Session::onRequest(error_code ec, std::size_t /*bytes*/) {
  if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == net::error::connection_reset) {
    close();
  } else if (ec) {
    refuse(statusForReadError(ec));
  } else {
    handleRequest();
  }
}

void Session::handleRequest() {
  const auto& request = parser->get();
  facts = {request.version() == 10 ? 10u : 11u, request.keep_alive(), request.method() == http::verb::head};
  const ParsedTarget parsed = parseTarget(request.target());
  if (parsed.error != TargetError::None) {
    refuse(400);
    return;
  }
  stop = false;
  filter.beginRequest({parsed.target.path, parsed.target.query, std::string(request.method_string()),
                       facts.version == 10 ? "HTTP/1.0" : "HTTP/1.1"});
  const auto picture = pictureName(host, parsed.target.path);
  std::string physical = physicalPath(host, parsed.target.path, picture);
  if (!proceed(filter.urlMap(physical))) {
    endRequest();
  } else if (picture || !host.options.root.empty()) {
    serveStatic(physical, parsed.target);
  } else {
    forward();
  }
}

void Session::serveStatic(const std::string& physical, const RequestTarget& target) {
  const auto& request = parser->get();
  std::optional<std::string> since;
  if (const auto field = request.find(http::field::if_modified_since); field != request.end()) {
    since = std::string(field->value());
  }
  respondLocally(serveFile(physical, {std::string(request.method_string()), target.path, target.query, since}));
}

void Session::refuse(unsigned status) {
  // Refused before any filter sees the request: the bytes go out as they are.
  const LocalResponse page = errorResponse(status, false);
  Fields fields = page.fields;
  fields.push_back({"Connection", "close"});
  writing = serializeHead(11, status, reasonPhrase(status), fields) + page.body;
  stream.expires_after(kTimeout);
  net::async_write(stream, net::buffer(writing),
                   [self = shared_from_this()](error_code, std::size_t) { self->close(); });
}

void Session::respondLocally(LocalResponse response) {
  local = std::move(response);
  const bool framed = !local.sendBody || fieldValue(local.fields, "Content-Length").has_value();
  setConnectionField(local.fields, connectionFieldFor(facts, framed));
  if (!sendHead(local.status, reasonPhrase(local.status), std::move(local.fields)) || !local.sendBody) {
    flush(&Session::endRequest);
  } else if (local.file.isOpen()) {
    pumpFile();  // the header block goes out with the first part of the body
  } else {
    emit(local.body);
    flush(&Session::endRequest);
  }
}

void Session::pumpFile() {
  for (std::size_t taken = 0; taken < kBatch && !stop;) {
    const long count = local.file.read(block.data(), block.size());
    if (count == 0) {
      flush(&Session::endRequest);
      return;
    }
    if (count < 0) {
      stop = true;  // the body is cut short; only closing tells the client
      break;
    }
    taken += static_cast<std::size_t>(count);
    proceed(filter.rawData(std::string_view(block.data(), static_cast<std::size_t>(count))));
  }
  flush(stop ? &Session::endRequest : &Session::pumpFile);
}

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

void Session::flush(Step next) {
  writing.clear();
  std::swap(writing, filter.output());
  emitted.feed(writing);
  auto self = shared_from_this();
  if (writing.empty()) {
    net::post(stream.get_executor(), [self, next] { ((*self).*next)(); });
    return;
  }
  stream.expires_after(kTimeout);
  net::async_write(stream, net::buffer(writing), [self, next](error_code ec, std::size_t) {
    if (ec) {
      self->abandon();
    } else {
      ((*self).*next)();
    }
  });
}

void Session::endRequest() {
  proceed(filter.endOfRequest());
  if (upstream) {
    upstream->release();
  }
  flush(&Session::onRequestDone);
}

void Session::onRequestDone() {
  local = LocalResponse();
  if (!stop && keepConnection(facts, emitted.head())) {
    readRequest();
  } else {
    close();
  }
}

void Session::abandon() {
  // The client is gone: the filter still hears the end of the request, so
  // it can let go of what it holds for it; its last bytes go nowhere.
  if (filter.requestOpen()) {
    filter.endOfRequest();
  }
  filter.output().clear();
  if (upstream) {
    upstream->release();
  }
  close();
}

void Session::close() {
  error_code ignored;
  stream.socket().shutdown(net::ip::tcp::socket::shutdown_send, ignored);
}

}  // namespace nimbuswatch::host
