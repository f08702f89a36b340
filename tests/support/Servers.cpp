#include "support/Servers.h"

#include <gtest/gtest.h>

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
