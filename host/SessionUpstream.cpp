// The session's reverse-proxy half: the request goes to the upstream over
// the session's kept connection, its body piece by piece as it comes from
// the client, and the upstream's raw bytes come back through the filter
// block by block as they arrive.
#include "host/Session.h"

#include "host/HostLog.h"

#include <boost/asio/write.hpp>
#include <boost/beast/http/field.hpp>

#include <algorithm>
#include <cstdio>

namespace nimbuswatch::host {

namespace net = boost::asio;

namespace {

// The request head as the upstream gets it: HTTP/1.1, the method and target
// as the client wrote them, the client's fields without those of its own
// hop and without Accept-Encoding, since a compressed body cannot be
// rewritten, and without Expect, which this host answers itself; the body
// framed as the client framed it.
std::string upstreamRequestHead(const http::request_parser<PieceBody>& parser, const HostOptions& options) {
  const auto& incoming = parser.get();
  Fields fields;
  for (const auto& field : incoming) {
    fields.push_back({std::string(field.name_string()), std::string(field.value())});
  }
  dropHopByHopFields(fields);
  for (const char* name : {"Accept-Encoding", "Expect", "TE", "Upgrade", "Trailer", "Transfer-Encoding",
                           "Content-Length"}) {
    removeField(fields, name);
  }
  if (!fieldValue(fields, "Host")) {
    fields.push_back({"Host", options.upstreamHost + ":" + options.upstreamPort});
  }
  if (parser.chunked()) {
    fields.push_back({"Transfer-Encoding", "chunked"});
  } else if (const auto length = parser.content_length()) {
    fields.push_back({"Content-Length", std::to_string(*length)});
  }
  std::string head(incoming.method_string());
  head += ' ';
  head += incoming.target();
  head += " HTTP/1.1\r\n";
  for (const Field& field : fields) {
    head += field.name + ": " + field.value + "\r\n";
  }
  return head + "\r\n";
}

std::string chunk(std::string_view data) {
  if (data.empty()) {
    return {};
  }
  char size[20];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  return size + std::string(data) + "\r\n";
}

bool bodyless(const RequestFacts& facts, unsigned status) {
  return facts.headRequest || status < 200 || status == 204 || status == 304;
}

}  // namespace

void Session::forward() {
  if (!upstream) {
    upstream = std::make_unique<UpstreamConnection>(stream.get_executor(), host.upstream,
                                                    std::max(kBatch, host.options.blockSize),
                                                    std::chrono::seconds(host.options.upstreamTimeout));
  }
  chunkedBody = parser->chunked();
  bodyForwarded = parser->is_done();
  upstream->sendHead(upstreamRequestHead(*parser, host.options), facts.headRequest,
                     [self = shared_from_this()](error_code ec) { self->onUpstreamSent(ec); });
}

void Session::upstreamFailed(error_code ec) {
  logError(std::string(parser->get().method_string()) + " " + logValue(target.path) +
           ": no response from the upstream: " + ec.message());
  // A request body not read to its end leaves the connection unusable.
  facts.keepAlive = facts.keepAlive && parser->is_done();
  upstream->release();
  respondLocally(errorResponse(502, facts.headRequest));
}

void Session::onUpstreamSent(error_code ec) {
  if (ec) {
    upstreamFailed(ec);
  } else if (bodyForwarded) {
    readUpstreamHead();
  } else if (expectContinue) {
    sendContinue();
  } else {
    readBody(&Session::passBody);
  }
}

void Session::sendContinue() {
  expectContinue = false;
  writing = "HTTP/1.1 100 Continue\r\n\r\n";
  stream.expires_after(kClientTimeout);
  net::async_write(stream, net::buffer(writing), [self = shared_from_this()](error_code ec, std::size_t) {
    if (ec) {
      self->abandon();
    } else {
      self->readBody(&Session::passBody);
    }
  });
}

void Session::passBody() {
  const std::string piece = std::move(parser->get().body());
  parser->get().body().clear();
  bodyForwarded = parser->is_done();
  std::string bytes = chunkedBody ? chunk(piece) : piece;
  if (chunkedBody && bodyForwarded) {
    bytes += "0\r\n\r\n";
  }
  if (bytes.empty()) {
    onUpstreamSent({});
    return;
  }
  upstream->sendBody(std::move(bytes), [self = shared_from_this()](error_code ec) { self->onUpstreamSent(ec); });
}

void Session::readUpstreamHead() {
  upstream->readHead([self = shared_from_this()](error_code ec, const UpstreamHead& head) {
    self->onUpstreamHead(ec, head);
  });
}

void Session::onUpstreamHead(error_code ec, const UpstreamHead& head) {
  if (ec) {
    upstreamFailed(ec);
    return;
  }
  if (head.interim) {
    passInterim(head);
    return;
  }
  Fields fields = head.fields;
  dropHopByHopFields(fields);
  dechunk = head.chunked && facts.version == 10 && !bodyless(facts, head.status);
  if (dechunk) {
    removeField(fields, "Transfer-Encoding");
  }
  const bool framed = bodyless(facts, head.status) || head.hasLength || (head.chunked && !dechunk);
  setConnectionField(fields, connectionFieldFor(facts, framed));
  if (!sendHead(head.status, head.reason, std::move(fields)) || head.done) {
    flush(&Session::endRequest);
  } else {
    flush(&Session::readUpstream);
  }
}

void Session::passInterim(const UpstreamHead& head) {
  // An interim response (103 Early Hints, say) goes to an HTTP/1.1 client
  // as it is, past the filter, which sees one response per request; an
  // HTTP/1.0 client cannot read one. The final response follows.
  if (facts.version == 10) {
    readUpstreamHead();
    return;
  }
  Fields fields = head.fields;
  dropHopByHopFields(fields);
  writing = serializeHead(11, head.status, head.reason, fields);
  stream.expires_after(kClientTimeout);
  net::async_write(stream, net::buffer(writing), [self = shared_from_this()](error_code ec, std::size_t) {
    if (ec) {
      self->abandon();
    } else {
      self->readUpstreamHead();
    }
  });
}

void Session::readUpstream() {
  upstream->readBody(dechunk, [self = shared_from_this()](error_code ec, UpstreamPiece& piece) {
    self->onUpstreamPiece(ec, piece);
  });
}

void Session::onUpstreamPiece(error_code ec, UpstreamPiece& piece) {
  emitInPlace(dechunk ? piece.decoded : piece.raw);
  if (ec) {
    cutShort("the upstream's response broke off: " + ec.message());
    return;
  }
  flush(piece.done || stop ? &Session::endRequest : &Session::readUpstream);
}

}  // namespace nimbuswatch::host
