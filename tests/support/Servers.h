// The servers the integration and end-to-end tests run for real: the host
// on a port it picks itself, Debian's nginx with a configuration of the
// test's own in a temporary prefix, and a scripted upstream that misbehaves
// on purpose.
#pragma once

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nimbuswatch::test {

// nimbuswatch-host listening on 127.0.0.1 at a port of its choosing.
class HostProcess {
 public:
  // Starts `executable` with `arguments` (no --listen: the host gets
  // "--listen 127.0.0.1:0") and waits for its "listening on" line. Throws
  // when the line does not come, with the host's standard error.
  HostProcess(const std::string& executable, const std::vector<std::string>& arguments,
              const Environment& environment = {});
  // Stops the host with SIGTERM; the test fails when it does not end
  // cleanly (exit code 0, no sanitizer report): a crash or a leak at shut-down.
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  unsigned short port() const { return boundPort; }
  std::string url(const std::string& path) const;
  ChildProcess& process() { return *child; }

 private:
  std::unique_ptr<ChildProcess> child;
  unsigned short boundPort = 0;
};

// nginx in the foreground on a free loopback port, serving `root`. The
// server block gets `serverDirectives` too (locations and the like); the
// http block logs each request to access.log under the prefix with
// $connection and $connection_requests, so tests can see connection reuse.
class NginxServer {
 public:
  explicit NginxServer(const std::string& root, const std::string& serverDirectives = "");
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  unsigned short port() const { return listenPort; }
  std::string hostPort() const { return "127.0.0.1:" + std::to_string(listenPort); }
  // The access log: one line per request, "<connection> <requests>
  // "<request line>" <Accept-Encoding>". nginx writes a line after the
  // response has gone, so this waits a few seconds for `atLeast` lines.
  std::vector<std::string> accessLog(std::size_t atLeast = 0) const;

 private:
  TempDir prefix;
  unsigned short listenPort = 0;
  std::unique_ptr<ChildProcess> child;
};

// A small HTTP/1.1 server on a loopback port that answers each request with
// the bytes a test's script gives, so it can play an upstream that cuts a
// response short, stalls or sends interim responses. It reads every request
// whole (its body by Content-Length or chunks) and records it. Each
// connection runs on a thread of its own; all end with the object.
class ScriptedUpstream {
 public:
  struct Request {
    std::string head;  // request line and fields, up to the empty line
    std::string body;  // decoded from chunks when chunked
    bool chunked = false;
  };
  // After the reply: read the next request, close the connection, or keep
  // it open without a word until the client closes it or the test ends.
  enum class Then { Next, Close, Stall };
  struct Reply {
    std::string bytes;
    Then then = Then::Next;
  };
  using Script = std::function<Reply(const Request&)>;

  explicit ScriptedUpstream(Script script);
  ~ScriptedUpstream();
  ScriptedUpstream(const ScriptedUpstream&) = delete;
  ScriptedUpstream& operator=(const ScriptedUpstream&) = delete;

  std::string hostPort() const { return "127.0.0.1:" + std::to_string(listenPort); }
  std::vector<Request> requests() const;
  int connections() const { return accepted; }

 private:
  void acceptLoop();
  void serve(int descriptor);
  void converse(int descriptor);

  Script script;
  int listener = -1;
  unsigned short listenPort = 0;
  std::atomic<bool> stopping{false};
  std::atomic<int> accepted{0};
  mutable std::mutex lock;
  std::vector<Request> received;
  std::vector<std::thread> threads;  // the accepting one first
};

}  // namespace nimbuswatch::test
