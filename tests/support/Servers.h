// The servers the integration and end-to-end tests run for real: the host
// on a port it picks itself, and Debian's nginx with a configuration of the
// test's own in a temporary prefix.
#pragma once

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <memory>
#include <string>
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

}  // namespace nimbuswatch::test
