// A plain socket HTTP client for tests that must see the exact bytes: what
// framing a response has, whether the server keeps the connection open.
// It parses strictly and throws on anything it does not understand, so a
// malformed response fails the test instead of being guessed at.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace nimbuswatch::test {

struct RawResponse {
  std::string head;  // status line and fields, up to the empty line
  unsigned status = 0;
  std::string version;  // "HTTP/1.1"
  std::multimap<std::string, std::string> fields;  // names lower-cased
  std::string body;    // decoded from chunks when chunked
  bool chunked = false;
  bool untilClose = false;  // framed by neither length nor chunks

  // The first value of a field, by lower-case name; empty when absent.
  std::string field(const std::string& name) const;
  bool has(const std::string& name) const { return fields.count(name) > 0; }
};

class RawConnection {
 public:
  // Connects to 127.0.0.1:`port`; throws on failure.
  explicit RawConnection(unsigned short port);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  void send(std::string_view bytes);
  // Reads one response. `headRequest` (and status 1xx, 204, 304) means the
  // response has no body. Throws when the peer closes early, the response is
  // malformed or nothing arrives within the timeout.
  RawResponse read(bool headRequest = false);
  // Sends a request and reads its response.
  RawResponse exchange(std::string_view request, bool headRequest = false);
  // The bytes that have arrived, once there is at least one.
  std::string readSome();
  // Every byte that arrives until the server closes the connection, for a
  // response that is not meant to be complete. Throws when it stays open
  // for the read timeout.
  std::string readUntilClose();
  // True when the server closes the connection (with no further bytes)
  // within `timeout`.
  bool closedByPeer(std::chrono::milliseconds timeout = std::chrono::seconds(5));

 private:
  void fill();
  std::string take(std::size_t count);
  std::string takeLine();

  int descriptor = -1;
  std::string received;
  bool ended = false;
};

// "GET path HTTP/1.1" with a Host field and `extraFields` (each ended by CR LF).
std::string getRequest(std::string_view path, std::string_view extraFields = "",
                       std::string_view method = "GET", std::string_view version = "HTTP/1.1");

}  // namespace nimbuswatch::test
