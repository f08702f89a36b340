#include "support/Servers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace nimbuswatch::test {

namespace {

constexpr const char* kNginx = "/usr/sbin/nginx";

std::string nginxConfig(const std::string& prefix, const std::string& root, unsigned short port,
                        const std::string& serverDirectives) {
  return "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + prefix + "nginx.pid;\n" +
         "error_log " + prefix + "error.log warn;\nevents { worker_connections 512; }\nhttp {\n" +
         "  include /etc/nginx/mime.types;\n  default_type application/octet-stream;\n" +
         "  log_format reuse '$connection $connection_requests \"$request\" $http_accept_encoding';\n" +
         "  access_log " + prefix + "access.log reuse;\n" +
         "  client_body_temp_path " + prefix + "body;\n  proxy_temp_path " + prefix + "proxy;\n" +
         "  fastcgi_temp_path " + prefix + "fastcgi;\n  uwsgi_temp_path " + prefix + "uwsgi;\n" +
         "  scgi_temp_path " + prefix + "scgi;\n  keepalive_requests 10000;\n" +
         "  server {\n    listen 127.0.0.1:" + std::to_string(port) + ";\n    root " + root + ";\n" +
         serverDirectives + "\n  }\n}\n";
}

}  // namespace

HostProcess::HostProcess(const std::string& executable, const std::vector<std::string>& arguments,
                         const Environment& environment) {
  std::vector<std::string> all = arguments;
  all.insert(all.end(), {"--listen", "127.0.0.1:0"});
  child = std::make_unique<ChildProcess>(executable, all, environment);
  const auto line = child->readLine();
  const std::string marker = "listening on http://127.0.0.1:";
  const std::size_t at = line ? line->find(marker) : std::string::npos;
  if (at == std::string::npos) {
    throw std::runtime_error("the host did not start: " + child->errorOutput());
  }
  boundPort = static_cast<unsigned short>(std::stoul(line->substr(at + marker.size())));
}

HostProcess::~HostProcess() {
  const int code = child->stop();
  const std::string errors = child->errorOutput();
  EXPECT_EQ(code, 0) << errors;
  EXPECT_EQ(errors.find("Sanitizer"), std::string::npos) << errors;
}

std::string HostProcess::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(boundPort) + path;
}

NginxServer::NginxServer(const std::string& root, const std::string& serverDirectives) {
  listenPort = freeLoopbackPort();
  const std::string config = prefix.file("nginx.conf");
  writeFile(config, nginxConfig(prefix.path(), root, listenPort, serverDirectives));
  child = std::make_unique<ChildProcess>(
      kNginx, std::vector<std::string>{"-p", prefix.path(), "-c", config, "-e", prefix.file("error.log")});
  if (!waitForPort(listenPort)) {
    throw std::runtime_error("nginx did not start: " + child->errorOutput() + readFile(prefix.file("error.log")));
  }
}

NginxServer::~NginxServer() { child->stop(); }

std::vector<std::string> NginxServer::accessLog(std::size_t atLeast) const {
  std::vector<std::string> lines = splitLines(readFile(prefix.file("access.log")));
  for (int i = 0; i < 250 && lines.size() < atLeast; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    lines = splitLines(readFile(prefix.file("access.log")));
  }
  return lines;
}

}  // namespace nimbuswatch::test

namespace nimbuswatch::test {

namespace {

constexpr int kPollMs = 50;
constexpr auto kUpstreamReadLimit = std::chrono::seconds(20);

// Reads from `descriptor` into `data` until `done` says it has enough;
// false when the peer closes, the test ends or nothing comes for long.
bool readUntil(int descriptor, std::string& data, const std::atomic<bool>& stopping,
               const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kUpstreamReadLimit;
  char block[65536];
  while (!done()) {
    if (stopping || std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    pollfd ready{descriptor, POLLIN, 0};
    if (::poll(&ready, 1, kPollMs) <= 0) {
      continue;
    }
    const ssize_t count = ::recv(descriptor, block, sizeof block, 0);
    if (count <= 0) {
      return false;
    }
    data.append(block, static_cast<std::size_t>(count));
  }
  return true;
}

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Takes a chunked body from the front of `data` into `body`; false while
// it is not complete.
bool takeChunks(std::string& data, std::string& body) {
  std::string decoded;
  std::size_t at = 0;
  while (true) {
    const std::size_t line = data.find("\r\n", at);
    if (line == std::string::npos) {
      return false;
    }
    const std::size_t size = std::stoul(data.substr(at, line - at), nullptr, 16);
    if (size == 0) {
      if (data.compare(line + 2, 2, "\r\n") != 0) {
        return false;  // no trailers are sent to it
      }
      body = decoded;
      data.erase(0, line + 4);
      return true;
    }
    if (data.size() < line + 2 + size + 2) {
      return false;
    }
    decoded += data.substr(line + 2, size);
    at = line + 2 + size + 2;
  }
}

}  // namespace

ScriptedUpstream::ScriptedUpstream(Script script) : script(std::move(script)) {
  listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 64) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    throw std::runtime_error("the scripted upstream cannot listen");
  }
  listenPort = ntohs(address.sin_port);
  threads.emplace_back([this] { acceptLoop(); });
}

ScriptedUpstream::~ScriptedUpstream() {
  stopping = true;
  threads.front().join();  // no thread is added after this
  for (std::size_t i = 1; i < threads.size(); ++i) {
    threads[i].join();
  }
  ::close(listener);
}

std::vector<ScriptedUpstream::Request> ScriptedUpstream::requests() const {
  const std::lock_guard<std::mutex> guard(lock);
  return received;
}

void ScriptedUpstream::acceptLoop() {
  while (!stopping) {
    pollfd ready{listener, POLLIN, 0};
    if (::poll(&ready, 1, kPollMs) <= 0) {
      continue;
    }
    const int descriptor = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (descriptor >= 0) {
      ++accepted;
      threads.emplace_back([this, descriptor] { serve(descriptor); });
    }
  }
}

void ScriptedUpstream::serve(int descriptor) {
  try {
    converse(descriptor);
  } catch (const std::exception&) {
    // A request it cannot read: the connection just ends.
  }
  ::close(descriptor);
}

void ScriptedUpstream::converse(int descriptor) {
  std::string data;
  Then then = Then::Next;
  while (then == Then::Next) {
    Request request;
    if (!readUntil(descriptor, data, stopping, [&] { return data.find("\r\n\r\n") != std::string::npos; })) {
      break;
    }
    request.head = data.substr(0, data.find("\r\n\r\n") + 4);
    data.erase(0, request.head.size());
    const std::string head = lowerCase(request.head);
    request.chunked = head.find("\r\ntransfer-encoding: chunked\r\n") != std::string::npos;
    const std::size_t length = head.find("\r\ncontent-length:");
    const std::size_t bodySize = length == std::string::npos ? 0 : std::stoul(head.substr(length + 17));
    const bool complete = request.chunked
                              ? readUntil(descriptor, data, stopping, [&] { return takeChunks(data, request.body); })
                              : readUntil(descriptor, data, stopping, [&] { return data.size() >= bodySize; });
    if (!complete) {
      break;
    }
    if (!request.chunked) {
      request.body = data.substr(0, bodySize);
      data.erase(0, bodySize);
    }
    {
      const std::lock_guard<std::mutex> guard(lock);
      received.push_back(request);
    }
    const Reply reply = script(request);
    for (std::string_view rest = reply.bytes; !rest.empty();) {
      const ssize_t sent = ::send(descriptor, rest.data(), rest.size(), MSG_NOSIGNAL);
      if (sent <= 0) {
        break;
      }
      rest.remove_prefix(static_cast<std::size_t>(sent));
    }
    then = reply.then;
  }
  if (then == Then::Stall) {
    std::string ignored;
    readUntil(descriptor, ignored, stopping, [] { return false; });
  }
}

}  // namespace nimbuswatch::test
