#include "host/session/ProxyExchange.h"

#include "HTTPStreamParser/HttpRules.h"
#include "host/HostLog.h"
#include "host/session/Session.h"

#include <boost/beast/http/field.hpp>

#include <algorithm>

namespace nimbuswatch::host {

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
                                bool ranges) {
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

void ProxyExchange::forward() {
  const HostContext& host = session.context();
  if (!upstream) {
    upstream = std::make_unique<UpstreamConnection>(session.executor(), host.upstream,
                                                    std::max(Session::kBatch, host.options.blockSize),
                                                    std::chrono::seconds(host.options.upstreamTimeout));
  }
  auto& request = session.request();
  chunkedBody = request.chunked();
  bodyForwarded = request.is_done();
  rangesDropped = false;
  decoder.reset();
  upstream->sendHead(upstreamRequestHead(request, host.options, /*ranges=*/true), session.requestFacts().headRequest,
                     [self = session.shared_from_this(), this](error_code ec) { onSent(ec); });
}

void ProxyExchange::failed(error_code ec) {
  logError(session.describeRequest() + ": no response from the upstream: " + ec.message());
  // A request body not read to its end leaves the connection unusable.
  RequestFacts& facts = session.requestFacts();
  facts.keepAlive = facts.keepAlive && session.request().is_done();
  upstream->release();
  session.respondLocally(errorResponse(502, facts.headRequest));
}

void ProxyExchange::onSent(error_code ec) {
  if (ec) {
    failed(ec);
  } else if (bodyForwarded) {
    readHead();
  } else if (session.continueExpected()) {
    session.continueSent();
    session.writePastFilter("HTTP/1.1 100 Continue\r\n\r\n", Session::Phase::ForwardBody);
  } else {
    session.readBody(Session::Phase::SendBody);
  }
}

void ProxyExchange::sendBodyPiece() {
  auto& request = session.request();
  const std::string piece = std::move(request.get().body());
  request.get().body().clear();
  bodyForwarded = request.is_done();
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
    onSent({});
    return;
  }
  upstream->sendBody(std::move(bytes), [self = session.shared_from_this(), this](error_code ec) { onSent(ec); });
}

void ProxyExchange::readHead() {
  upstream->readHead([self = session.shared_from_this(), this](error_code ec, const UpstreamHead& head) {
    onHead(ec, head);
  });
}

void ProxyExchange::onHead(error_code ec, const UpstreamHead& head) {
  if (ec) {
    failed(ec);
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
    session.flush(passed == Passed::Body ? Session::Phase::ReadUpstreamBody : Session::Phase::EndRequest);
  }
}

void ProxyExchange::passInterim(const UpstreamHead& head) {
  // An interim response (103 Early Hints, say) goes to an HTTP/1.1 client
  // as it is, past the filter, which sees one response per request; an
  // HTTP/1.0 client cannot read one. The final response follows.
  if (session.requestFacts().version == 10) {
    readHead();
    return;
  }
  Fields fields = head.fields;
  dropHopByHopFields(fields);
  session.writePastFilter(serializeHead(11, head.status, head.reason, fields), Session::Phase::ReadUpstreamHead);
}

// A range of a page cannot be rewritten: an element may begin before it or
// end after it. The upstream is asked for the whole page instead, which the
// client then gets rewritten with status 200 (as a server may always answer
// a range request). Only a request without a body can be sent again.
bool ProxyExchange::canAskAgain() const {
  const auto& parser = session.request();
  const auto& request = parser.get();
  return !rangesDropped && request.find(http::field::range) != request.end() && parser.is_done() &&
         !parser.chunked() && parser.content_length().value_or(0) == 0;
}

void ProxyExchange::askAgainWithoutRanges() {
  rangesDropped = true;
  parts.reset();
  upstream->release();  // the answer is not read: its connection closes
  upstream->sendHead(upstreamRequestHead(session.request(), session.context().options, /*ranges=*/false),
                     session.requestFacts().headRequest,
                     [self = session.shared_from_this(), this](error_code ec) { onSent(ec); });
}

// Several ranges of one representation share its type: the first part's
// header tells whether they are ranges of a page. Should a later part claim
// otherwise, the filter, which watches every part, cuts the answer off.
void ProxyExchange::readParts() {
  upstream->readBody(true, [self = session.shared_from_this(), this](error_code ec, UpstreamPiece& piece) {
    onPartsPiece(ec, piece);
  });
}

void ProxyExchange::onPartsPiece(error_code ec, UpstreamPiece& piece) {
  if (ec) {
    failed(ec);
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
    session.emitInPlace(dechunk ? heldDecoded : heldRaw);
  }
  const bool more = passed == Passed::Body && !piece.done && !session.stopped();
  session.flush(more ? Session::Phase::ReadUpstreamBody : Session::Phase::EndRequest);
}

ProxyExchange::Passed ProxyExchange::passHead(const UpstreamHead& head) {
  const RequestFacts& facts = session.requestFacts();
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
  if (!session.sendHead(head.status, head.reason, std::move(fields)) || head.done) {
    return Passed::End;
  }
  return Passed::Body;
}

// A page the upstream compressed although it was not asked to is decoded
// for the filter, which can only read it so: the client gets it without a
// content coding and without a length. A coding this host cannot undo is
// not passed at all: the client gets 502. False when that answer is made.
bool ProxyExchange::prepareDecoding(Fields& fields, bool body) {
  decoder.reset();
  if (!isPageType(fieldValue(fields, "Content-Type").value_or("")) || !compressed(fields)) {
    return true;
  }
  const std::string coding = fieldValue(fields, "Content-Encoding").value_or("");
  const auto known = ContentDecoder::codingOf(coding);
  if (!known) {
    logError(session.describeRequest() + ": the upstream sent the page in the content coding " + logValue(coding) +
             ", which cannot be undone to rewrite it");
    RequestFacts& facts = session.requestFacts();
    facts.keepAlive = facts.keepAlive && session.request().is_done();
    upstream->release();
    session.respondLocally(errorResponse(502, facts.headRequest));
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

void ProxyExchange::readBody() {
  upstream->readBody(dechunk, [self = session.shared_from_this(), this](error_code ec, UpstreamPiece& piece) {
    onPiece(ec, piece);
  });
}

void ProxyExchange::onPiece(error_code ec, UpstreamPiece& piece) {
  if (decoder) {
    pieceError = ec;
    pieceDone = piece.done;
    decoder->input(dechunk ? piece.decoded : piece.raw);
    pumpDecoded();
    return;
  }
  session.emitInPlace(dechunk ? piece.decoded : piece.raw);
  if (ec) {
    session.cutShort("the upstream's response broke off: " + ec.message());
    return;
  }
  session.flush(piece.done || session.stopped() ? Session::Phase::EndRequest : Session::Phase::ReadUpstreamBody);
}

// One portion of the decoded page at a time goes through the filter and out
// before the next is made, so memory stays bounded however far the page
// expands.
void ProxyExchange::pumpDecoded() {
  std::string error;
  if (!decoder->decode(inflated, Session::kBatch, error)) {
    session.cutShort("the upstream's compressed page cannot be decoded: " + error);
    return;
  }
  session.emitInPlace(inflated);
  if (decoder->pending() && !session.stopped()) {
    session.flush(Session::Phase::DecodeUpstream);
  } else if (pieceError) {
    session.cutShort("the upstream's response broke off: " + pieceError.message());
  } else if (pieceDone && !decoder->complete() && !session.stopped()) {
    session.cutShort("the upstream's compressed page ended before its compressed stream did");
  } else {
    session.flush(pieceDone || session.stopped() ? Session::Phase::EndRequest : Session::Phase::ReadUpstreamBody);
  }
}

void ProxyExchange::releaseUpstream() {
  if (upstream) {
    upstream->release();
  }
}

}  // namespace nimbuswatch::host
