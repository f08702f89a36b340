// The exchange for a request the upstream answers: the request goes to the
// upstream over the session's kept connection, its body piece by piece as
// it comes from the client, and the upstream's raw bytes come back through
// the filter block by block as they arrive. A range of a page is asked for
// again whole, several ranges are held until the first part's type is
// known, and a page compressed with gzip or deflate is decoded for the
// filter a bounded portion at a time.
#pragma once

#include "HTTPStreamParser/ByteRanges.h"
#include "host/http/ServerNames.h"
#include "host/session/UpstreamConnection.h"

#include <memory>
#include <optional>
#include <string>

namespace nimbuswatch::host {

class Session;

class ProxyExchange {
 public:
  explicit ProxyExchange(Session& session) : session(session) {}

  // Sends the request's head to the upstream; the rest follows from there.
  void forward();
  // The piece of the request body just read goes to the upstream.
  void sendBodyPiece();
  void readHead();
  void readBody();
  // The next portion of a compressed page through the filter.
  void pumpDecoded();
  // After the response: keeps the upstream connection when it may be, else
  // closes it.
  void releaseUpstream();

 private:
  enum class Passed { Body, End, Answered };

  void onSent(error_code ec);
  void failed(error_code ec);
  void onHead(error_code ec, const UpstreamHead& head);
  void passInterim(const UpstreamHead& head);
  bool canAskAgain() const;
  void askAgainWithoutRanges();
  void readParts();
  void onPartsPiece(error_code ec, UpstreamPiece& piece);
  Passed passHead(const UpstreamHead& head);
  bool prepareDecoding(Fields& fields, bool body);
  void onPiece(error_code ec, UpstreamPiece& piece);

  Session& session;
  std::unique_ptr<UpstreamConnection> upstream;  // kept across the session's requests
  bool chunkedBody = false;    // the request body goes to the upstream in chunks
  bool bodyForwarded = false;  // the upstream has the whole request body
  bool dechunk = false;        // the answer's body is wanted without its chunk framing
  // A range of a page is never passed: the upstream is asked again for the
  // whole page, once per request.
  bool rangesDropped = false;
  // An answer of several ranges is held until its first part's type is known.
  std::optional<PartTypeWatch> parts;
  UpstreamHead heldHead;
  std::string heldRaw;
  std::string heldDecoded;
  // A compressed page is decoded before the filter sees it; the piece it
  // comes from stays with the upstream connection meanwhile.
  std::unique_ptr<ContentDecoder> decoder;
  std::string inflated;
  error_code pieceError;
  bool pieceDone = false;
};

}  // namespace nimbuswatch::host
