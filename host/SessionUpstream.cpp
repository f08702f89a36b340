// The session's reverse-proxy half: the request goes to the upstream over
// the session's kept connection, its body piece by piece as it comes from
// the client, and the upstream's raw bytes come back through the filter
// block by block as they arrive.
#include "host/Session.h"

#include "HTTPStreamParser/HttpRules.h"
#include "host/HostLog.h"

#include <boost/asio/write.hpp>
#include <boost/beast/http/field.hpp>

#include <algorithm>
#include <cstdio>

namespace nimbuswatch::host {

namespace net = boost::asio;

namespace {

// The longest an answer of several ranges is held back while the first
// part's header is looked for.
constexpr std::size_t kPartsPeek = 64 * 1024;
constexpr unsigned kPartialContent = 206;

// The request head as the upstream gets it: HTTP/1.1, the method and target
// as the client wrote them, the client's fields without those of its own
// hop and without Accept-Encoding, since a compressed body cannot be
// rewritten, and without Expect, which this host answers itself; the body
// framed as the client framed it. Without `ranges`, Range and If-Range are
// left out too.
std::string upstreamRequestHead(const http::request_parser<PieceBody>& parser, const HostOptions& options,
                                bool ranges = true) {
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
  if (!ranges) {
    removeField(fields, "Range");
    removeField(fields, "If-Range");
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


// What a 206 answer holds, as far as its head tells: a range of a page,
// several ranges whose types are in the body, or something else.
enum class RangeAnswer { Other, Page, Parts };

RangeAnswer rangeAnswer(const UpstreamHead& head) {
  if (head.status != kPartialContent) {
    return RangeAnswer::Other;
  }
  const std::string type = fieldValue(head.fields, "Content-Type").value_or("");
  if (isPageType(type)) {
    return RangeAnswer::Page;
  }
  return isByteRangesType(type) ? RangeAnswer::Parts : RangeAnswer::Other;
}

bool compressed(const Fields& fields) {
  const std::string coding = fieldValue(fields, "Content-Encoding").value_or("");
  return coding.find_first_not_of(" \t") != std::string::npos && !ContentDecoder::isIdentity(coding);
}

// The page's new representation is not byte for byte the one the tag names.
void weakenEntityTag(Fields& fields) {
  const auto tag = fieldValue(fields, "ETag");
  if (tag && tag->starts_with('"')) {
    setField(fields, "ETag", "W/" + *tag);
  }
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
  std::string bytes;
  if (chunkedBody) {
    appendChunk(bytes, piece);
  } else {
    bytes = piece;
  }
  if (chunkedBody && bodyForwarded) {
    bytes += kLastChunk;
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
  const RangeAnswer answer = rangeAnswer(head);
  if (answer != RangeAnswer::Other && canAskAgain()) {
    const std::string boundary = boundaryOf(fieldValue(head.fields, "Content-Type").value_or(""));
    if (answer == RangeAnswer::Page || compressed(head.fields) || boundary.empty()) {
      askAgainWithoutRanges();
      return;
    }
    if (!head.done) {
      heldHead = head;
      parts.emplace(boundary);
      heldRaw.clear();
      heldDecoded.clear();
      readParts();
      return;
    }
  }
  const Passed passed = passHead(head);
  if (passed != Passed::Answered) {
    flush(passed == Passed::Body ? &Session::readUpstream : &Session::endRequest);
  }
}

// A range of a page cannot be rewritten: an element may begin before it or
// end after it. The upstream is asked for the whole page instead, which the
// client then gets rewritten with status 200 (as a server may always answer
// a range request). Only a request without a body can be sent again.
bool Session::canAskAgain() const {
  const auto& request = parser->get();
  return !rangesDropped && request.find(http::field::range) != request.end() && parser->is_done() &&
         !parser->chunked() && parser->content_length().value_or(0) == 0;
}

void Session::askAgainWithoutRanges() {
  rangesDropped = true;
  parts.reset();
  upstream->release();  // the answer is not read: its connection closes
  upstream->sendHead(upstreamRequestHead(*parser, host.options, /*ranges=*/false), facts.headRequest,
                     [self = shared_from_this()](error_code ec) { self->onUpstreamSent(ec); });
}

// Several ranges of one representation share its type: the first part's
// header tells whether they are ranges of a page. Should a later part claim
// otherwise, the filter, which watches every part, cuts the answer off.
void Session::readParts() {
  upstream->readBody(true, [self = shared_from_this()](error_code ec, UpstreamPiece& piece) {
    self->onPartsPiece(ec, piece);
  });
}

void Session::onPartsPiece(error_code ec, UpstreamPiece& piece) {
  if (ec) {
    upstreamFailed(ec);
    return;
  }
  heldRaw += piece.raw;
  heldDecoded += piece.decoded;
  parts->feed(piece.decoded.data(), static_cast<std::int32_t>(piece.decoded.size()));
  if (parts->foundPage()) {
    askAgainWithoutRanges();
    return;
  }
  if (parts->partsRead() == 0 && !piece.done && heldDecoded.size() < kPartsPeek) {
    readParts();
    return;
  }
  parts.reset();
  const Passed passed = passHead(heldHead);
  if (passed == Passed::Answered) {
    return;
  }
  if (passed == Passed::Body) {
    emitInPlace(dechunk ? heldDecoded : heldRaw);
  }
  flush(passed == Passed::Body && !piece.done && !stop ? &Session::readUpstream : &Session::endRequest);
}

Session::Passed Session::passHead(const UpstreamHead& head) {
  Fields fields = head.fields;
  dropHopByHopFields(fields);
  const bool body = responseHasBody(facts.headRequest, head.status);
  if (!prepareDecoding(fields, body)) {
    return Passed::Answered;
  }
  dechunk = head.chunked && body && (facts.version == 10 || decoder);
  if (dechunk) {
    removeField(fields, "Transfer-Encoding");
  }
  const bool framed = !body || (head.hasLength && !decoder) || (head.chunked && !dechunk);
  setConnectionField(fields, connectionFieldFor(facts, framed));
  if (!sendHead(head.status, head.reason, std::move(fields)) || head.done) {
    return Passed::End;
  }
  return Passed::Body;
}

// A page the upstream compressed although it was not asked to is decoded
// for the filter, which can only read it so: the client gets it without a
// content coding and without a length. A coding this host cannot undo is
// not passed at all: the client gets 502. False when that answer is made.
bool Session::prepareDecoding(Fields& fields, bool body) {
  decoder.reset();
  if (!isPageType(fieldValue(fields, "Content-Type").value_or("")) || !compressed(fields)) {
    return true;
  }
  const std::string coding = fieldValue(fields, "Content-Encoding").value_or("");
  const auto known = ContentDecoder::codingOf(coding);
  if (!known) {
    logError(std::string(parser->get().method_string()) + " " + logValue(target.path) +
             ": the upstream sent the page in the content coding " + logValue(coding) +
             ", which cannot be undone to rewrite it");
    facts.keepAlive = facts.keepAlive && parser->is_done();
    upstream->release();
    respondLocally(errorResponse(502, facts.headRequest));
    return false;
  }
  removeField(fields, "Content-Encoding");
  removeField(fields, "Content-Length");
  weakenEntityTag(fields);
  if (body) {
    decoder = std::make_unique<ContentDecoder>(*known);
  }
  return true;
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
  if (decoder) {
    pieceError = ec;
    pieceDone = piece.done;
    decoder->input(dechunk ? piece.decoded : piece.raw);
    pumpDecoded();
    return;
  }
  emitInPlace(dechunk ? piece.decoded : piece.raw);
  if (ec) {
    cutShort("the upstream's response broke off: " + ec.message());
    return;
  }
  flush(piece.done || stop ? &Session::endRequest : &Session::readUpstream);
}

// One portion of the decoded page at a time goes through the filter and out
// before the next is made, so memory stays bounded however far the page
// expands.
void Session::pumpDecoded() {
  std::string error;
  if (!decoder->decode(inflated, kBatch, error)) {
    cutShort("the upstream's compressed page cannot be decoded: " + error);
    return;
  }
  emitInPlace(inflated);
  if (decoder->pending() && !stop) {
    flush(&Session::pumpDecoded);
  } else if (pieceError) {
    cutShort("the upstream's response broke off: " + pieceError.message());
  } else if (pieceDone && !decoder->complete() && !stop) {
    cutShort("the upstream's compressed page ended before its compressed stream did");
  } else {
    flush(pieceDone || stop ? &Session::endRequest : &Session::readUpstream);
  }
}

}  // namespace nimbuswatch::host
