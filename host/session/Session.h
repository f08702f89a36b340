// One client connection: reads requests with Beast, lets the filter map the
// URL, has an exchange make the response (a file or page made here, or the
// upstream's answer), and sends every byte of it through the filter's
// notifications before it reaches the socket. All handlers of a session run
// on its strand, so the filter meets one connection's notifications one at
// a time. Where the session goes on after waiting (for the socket, the
// client or the upstream) is named by a phase; every write to the client
// goes through one place. A request body is never held whole: it streams
// to the upstream piece by piece, or is read and dropped when the response
// is made here.
#pragma once

#include "host/config/HostContext.h"
#include "host/http/PieceBody.h"
#include "host/http/ServerNames.h"
#include "host/session/FileExchange.h"
#include "host/session/ProxyExchange.h"
#include "server/ServerConnection.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace nimbuswatch::host {

class Session : public std::enable_shared_from_this<Session> {
 public:
  // Where the session goes on once what it waits for has happened.
  enum class Phase {
    ReadRequest,       // read the next request's head
    DropBody,          // read and drop the rest of a request body, then start the request
    ForwardBody,       // proxy: read the next piece of the request body
    SendBody,          // proxy: send the piece just read to the upstream
    PumpFile,          // files: the next batch of the file
    ReadUpstreamHead,  // proxy: the head of the upstream's answer
    ReadUpstreamBody,  // proxy: the next piece of the answer
    DecodeUpstream,    // proxy: the next portion of a compressed page
    EndRequest,        // end of request to the filter; its last bytes out
    RequestDone,       // keep the connection for the next request, or close
    Abandon,           // the response cannot be completed
    Close,
  };

  // The output made from this many bytes of a file, or of what one read
  // brings from the upstream, goes out in one write.
  static constexpr std::size_t kBatch = 64 * 1024;

  Session(boost::asio::ip::tcp::socket&& socket, const HostContext& host);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  void run();

  // What the exchanges use.
  const HostContext& context() const { return host; }
  http::request_parser<PieceBody>& request() { return *parser; }
  const RequestFacts& requestFacts() const { return facts; }
  RequestFacts& requestFacts() { return facts; }
  const RequestTarget& requestTarget() const { return target; }
  boost::asio::any_io_executor executor() { return stream.get_executor(); }
  // The client waits for "100 Continue" before it sends its body.
  bool continueExpected() const { return expectContinue; }
  void continueSent() { expectContinue = false; }
  // "GET /path", for log lines.
  std::string describeRequest() const;
  // The filter ended the request, or it cannot be completed.
  bool stopped() const { return stop; }

  // The response's head through SF_NOTIFY_SEND_RESPONSE and then as raw
  // data; false when the filter ended the request.
  bool sendHead(unsigned status, std::string_view reason, Fields fields);
  // Body bytes through SF_NOTIFY_SEND_RAW_DATA in blocks of --block-size;
  // in place, the filter may change them where they lie, without a copy.
  void emit(std::string_view bytes);
  void emitInPlace(char* data, std::size_t size);
  void emitInPlace(std::string& bytes) { emitInPlace(bytes.data(), bytes.size()); }
  // Sends what the filter produced, then goes on with `next`.
  void flush(Phase next);
  // Bytes past the filter (a refusal, 100 Continue, an interim head).
  void writePastFilter(std::string bytes, Phase next);
  // Reads the next piece of the request body into request().get().body().
  void readBody(Phase next);
  // A response made here: an error page, say.
  void respondLocally(LocalResponse response);
  // The response cannot be completed: the bytes made so far go out, the end
  // never does, and the connection closes.
  void cutShort(const std::string& reason);
  void resume(Phase next);

 private:
  // The longest the client may keep the host waiting at any step.
  static constexpr std::chrono::seconds kClientTimeout{30};

  // Requests.
  void readRequest();
  void onRequest(error_code ec);
  void handleRequest();
  void startRequest();
  void refuse(unsigned status);
  void onBody(error_code ec, Phase next);
  void dropBody();

  // Through the filter to the client.
  bool proceed(bool goOn);
  void write(std::string_view bytes, Phase next);
  void endRequest();
  void onRequestDone();
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
  unsigned served = 0;  // requests on this connection so far
  bool stop = false;    // the filter ended the request, or it cannot be completed
  bool proxied = false;  // the upstream answers the request, not a file made here
  bool expectContinue = false;
  FileExchange files;
  ProxyExchange proxy;
  std::string pastFilter;  // bytes being written past the filter
};

// Sets the Connection field to `value`, or removes it when `value` is empty.
void setConnectionField(Fields& fields, std::string_view value);

}  // namespace nimbuswatch::host
