// One client connection: reads requests with Beast, lets the filter map the
// URL, makes the response (a static file, or the upstream's answer), and
// sends every byte of it through the filter's notifications before it
// reaches the socket. All handlers of a session run on its strand, so the
// filter meets one connection's notifications one at a time.
#pragma once

#include "host/EmittedHead.h"
#include "host/FilterConnection.h"
#include "host/HostContext.h"
#include "host/LocalResponse.h"
#include "host/UpstreamConnection.h"
#include "host/UrlPath.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nimbuswatch::host {

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(boost::asio::ip::tcp::socket&& socket, const HostContext& host);
  void run();

 private:
  using Step = void (Session::*)();

  // Requests.
  void readRequest();
  void onRequest(error_code ec, std::size_t bytes);
  void handleRequest();
  void refuse(unsigned status);

  // Responses made here (Session.cpp).
  void serveStatic(const std::string& physical, const RequestTarget& target);
  void respondLocally(LocalResponse response);
  void pumpFile();

  // Responses of the upstream (SessionUpstream.cpp).
  void forward();
  void onUpstreamHead(error_code ec, const UpstreamHead& head);
  void readUpstream();
  void onUpstreamPiece(error_code ec, const UpstreamPiece& piece);

  // Through the filter to the client.
  bool proceed(bool goOn);
  bool sendHead(unsigned status, std::string_view reason, Fields fields);
  void emit(std::string_view bytes);
  void flush(Step next);
  void endRequest();
  void onRequestDone();
  void abandon();
  void close();

  boost::beast::tcp_stream stream;
  boost::beast::flat_buffer buffer;
  std::optional<http::request_parser<http::string_body>> parser;
  const HostContext& host;
  FilterConnection filter;
  EmittedHeadScanner emitted;
  RequestFacts facts;
  bool stop = false;     // the filter ended the request, or it cannot be completed
  bool dechunk = false;  // an HTTP/1.0 client gets the upstream's chunked body decoded
  LocalResponse local;
  std::unique_ptr<UpstreamConnection> upstream;
  std::string writing;
  std::vector<char> block;
};

// Sets the Connection field to `value`, or removes it when `value` is empty.
void setConnectionField(Fields& fields, std::string_view value);

}  // namespace nimbuswatch::host
