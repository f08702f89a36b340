// One client connection: reads requests with Beast, lets the filter map the
// URL, makes the response (a static file, or the upstream's answer), and
// sends every byte of it through the filter's notifications before it
// reaches the socket. All handlers of a session run on its strand, so the
// filter meets one connection's notifications one at a time. A request
// body is never held whole: it streams to the upstream piece by piece, or
// is read and dropped when the response is made here.
#pragma once

#include "HTTPStreamParser/ByteRanges.h"
#include "host/ContentDecoder.h"
#include "host/ServerNames.h"
#include "server/ServerConnection.h"
#include "host/HostContext.h"
#include "host/LocalResponse.h"
#include "host/UpstreamConnection.h"
#include "host/UrlPath.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nimbuswatch::host {

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(boost::asio::ip::tcp::socket&& socket, const HostContext& host);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  void run();

 private:
  using Step = void (Session::*)();
  // The output made from this many bytes of a file, or of what one read
  // brings from the upstream, goes out in one write.
  static constexpr std::size_t kBatch = 64 * 1024;
  // The longest the client may keep the host waiting at any step.
  static constexpr std::chrono::seconds kClientTimeout{30};

  // Requests.
  void readRequest();
  void onRequest(error_code ec, std::size_t bytes);
  void handleRequest();
  void startRequest();
  void refuse(unsigned status);

  // Request bodies.
  void readBody(Step next);
  void onBody(error_code ec, Step next);
  void dropBody();

  // Responses made here (Session.cpp).
  void serveStatic(const std::string& physical, const RequestTarget& target);
  void respondLocally(LocalResponse response);
  void pumpFile();

  // Responses of the upstream (SessionUpstream.cpp).
  void forward();
  void onUpstreamSent(error_code ec);
  void upstreamFailed(error_code ec);
  void passBody();
  void readUpstreamHead();
  void onUpstreamHead(error_code ec, const UpstreamHead& head);
  bool canAskAgain() const;
  void askAgainWithoutRanges();
  void readParts();
  void onPartsPiece(error_code ec, UpstreamPiece& piece);
  enum class Passed { Body, End, Answered };
  Passed passHead(const UpstreamHead& head);
  bool prepareDecoding(Fields& fields, bool body);
  void pumpDecoded();
  void passInterim(const UpstreamHead& head);
  void sendContinue();
  void readUpstream();
  void onUpstreamPiece(error_code ec, UpstreamPiece& piece);

  // Through the filter to the client.
  bool proceed(bool goOn);
  bool sendHead(unsigned status, std::string_view reason, Fields fields);
  void emit(std::string_view bytes);
  void emitInPlace(std::string& bytes);
  void flush(Step next);
  void endRequest();
  void onRequestDone();
  void cutShort(const std::string& reason);
  void abandon();
  void close();
  void linger();

  boost::beast::tcp_stream stream;
  boost::beast::flat_buffer buffer;
  std::optional<http::request_parser<PieceBody>> parser;
  const HostContext& host;
  server::ServerConnection filter;
  EmittedHeadScanner emitted;
  RequestFacts facts;
  RequestTarget target;
  bool staticResponse = false;  // a file answers the request, not the upstream
  unsigned served = 0;   // requests on this connection so far
  bool stop = false;     // the filter ended the request, or it cannot be completed
  bool dechunk = false;  // an HTTP/1.0 client gets the upstream's chunked body decoded
  bool chunkedBody = false;     // the request body goes to the upstream in chunks
  bool bodyForwarded = false;   // the upstream has the whole request body
  bool expectContinue = false;  // the client waits for "100 Continue" before its body
  LocalResponse local;
  std::unique_ptr<UpstreamConnection> upstream;
  // A range of a page is never passed: the upstream is asked again for the
  // whole page, once per request.
  bool rangesDropped = false;
  // An answer of several ranges is held until its first part's type is known.
  std::optional<PartTypeWatch> parts;
  UpstreamHead heldHead;
  std::string heldRaw;
  std::string heldDecoded;
  // A compressed page is decoded before the filter sees it, a portion at a
  // time; the piece it comes from stays with the upstream meanwhile.
  std::unique_ptr<ContentDecoder> decoder;
  std::string inflated;
  error_code pieceError;
  bool pieceDone = false;
  std::string writing;       // bytes sent past the filter: refusals, 100 Continue, interim heads
};

// Sets the Connection field to `value`, or removes it when `value` is empty.
void setConnectionField(Fields& fields, std::string_view value);

}  // namespace nimbuswatch::host
