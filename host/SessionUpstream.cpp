// The session's reverse-proxy half: the request goes to the upstream over
// the session's kept connection, and the upstream's raw bytes come back
// through the filter block by block as they arrive.
#include "host/Session.h"

#include <boost/beast/http/field.hpp>

namespace nimbuswatch::host {

namespace {

// The request as the upstream gets it: HTTP/1.1, the client's fields
// without those of its own hop and without Accept-Encoding, since a
// compressed body cannot be rewritten, and without Expect, since the body
// is already here; the body framed by its length.
UpstreamConnection::Request upstreamRequest(http::request<http::string_body>& incoming,
                                            const HostOptions& options) {
  Fields fields;
  for (const auto& field : incoming) {
    fields.push_back({std::string(field.name_string()), std::string(field.value())});
  }
  dropHopByHopFields(fields);
  for (const char* name : {"Accept-Encoding", "Expect", "TE", "Upgrade", "Trailer", "Transfer-Encoding",
                           "Content-Length"}) {
    removeField(fields, name);
  }
  UpstreamConnection::Request outgoing(incoming.method(), incoming.target(), 11);
  for (const Field& field : fields) {
    outgoing.insert(field.name, field.value);
  }
  if (outgoing.find(http::field::host) == outgoing.end()) {
    outgoing.set(http::field::host, options.upstreamHost + ":" + options.upstreamPort);
  }
  outgoing.body() = std::move(incoming.body());
  outgoing.prepare_payload();
  return outgoing;
}

bool bodyless(const RequestFacts& facts, unsigned status) {
  return facts.headRequest || status < 200 || status == 204 || status == 304;
}

}  // namespace

void Session::forward() {
  if (!upstream) {
    upstream = std::make_unique<UpstreamConnection>(stream.get_executor(), host.upstream, host.options.blockSize);
  }
  upstream->exchange(upstreamRequest(parser->get(), host.options), facts.headRequest,
                     [self = shared_from_this()](error_code ec, const UpstreamHead& head) {
                       self->onUpstreamHead(ec, head);
                     });
}

void Session::onUpstreamHead(error_code ec, const UpstreamHead& head) {
  if (ec) {
    upstream->release();
    respondLocally(errorResponse(502, facts.headRequest));
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

void Session::readUpstream() {
  upstream->readBody(dechunk, [self = shared_from_this()](error_code ec, const UpstreamPiece& piece) {
    self->onUpstreamPiece(ec, piece);
  });
}

void Session::onUpstreamPiece(error_code ec, const UpstreamPiece& piece) {
  if (ec) {
    stop = true;  // the body is cut short; only closing tells the client
    flush(&Session::endRequest);
    return;
  }
  emit(dechunk ? piece.decoded : piece.raw);
  flush(piece.done || stop ? &Session::endRequest : &Session::readUpstream);
}

}  // namespace nimbuswatch::host
