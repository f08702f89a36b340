// What reaches nginx and how clients reach it: HTTPS with HTTP/2 (curl and
// headless Chromium), a page made by a real FastCGI responder (Debian's
// fcgiwrap running a script), and an upstream that writes its page one
// byte at a time. Each gives the bytes nimbuswatch-host gives.
#include "ModuleNginx.h"

#include "../e2e/EndToEnd.h"
#include "support/Servers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

namespace nimbuswatch::test {
namespace {

const std::string kChromium = "/usr/bin/chromium";
const std::string kFcgiwrap = "/usr/sbin/fcgiwrap";
constexpr int kBrowserSeconds = 90;

// Once everything has loaded, the root element says how many pictures the
// browser could decode.
constexpr const char* kProbeScript = R"(<script>
window.addEventListener("load", function () {
  var images = Array.prototype.slice.call(document.images);
  var loaded = images.filter(function (image) { return image.complete && image.naturalWidth > 0; });
  document.documentElement.setAttribute("data-loaded", loaded.length + " of " + images.length);
});
</script>
)";

// Headless Chromium's DOM of `url`, bounded by timeout(1); the DOM goes to a
// file, so no helper process of the browser can hold the test's pipe open.
ProgramResult browserDom(const std::string& url) {
  const TempDir profile;
  const ProgramResult run = runProgram(
      "bash",
      {"-c", "out=$1; shift; exec timeout -k 5 " + std::to_string(kBrowserSeconds) + " \"$@\" >\"$out\"", "bash",
       profile.file("dom.html"), kChromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
       "--no-first-run", "--disable-background-networking", "--disable-component-update", "--disable-sync",
       "--ignore-certificate-errors", "--user-data-dir=" + profile.file("profile"), "--dump-dom", url},
      {{"HOME", profile.path()}});
  return {run.exitCode, readFile(profile.file("dom.html")), run.errors};
}

std::string body(std::vector<std::string> arguments) {
  const ProgramResult result = fetch(std::move(arguments));
  EXPECT_EQ(result.exitCode, 0) << result.errors;
  return result.output;
}

// An upstream that answers every request with `page`, one byte per write
// with a pause after each, so nginx reads it in pieces of about a byte.
class TricklingUpstream {
 public:
  explicit TricklingUpstream(std::string page) : page(std::move(page)) {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 8) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      throw std::runtime_error("the trickling upstream cannot listen");
    }
    port = ntohs(address.sin_port);
    thread = std::thread([this] { serve(); });
  }
  ~TricklingUpstream() {
    stopping = true;
    thread.join();
    ::close(listener);
  }
  std::string hostPort() const { return "127.0.0.1:" + std::to_string(port); }

 private:
  void serve() {
    while (!stopping) {
      pollfd ready{listener, POLLIN, 0};
      if (::poll(&ready, 1, 50) <= 0) {
        continue;
      }
      const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection >= 0) {
        answer(connection);
        ::close(connection);
      }
    }
  }
  void answer(int connection) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
      if (got <= 0) {
        return;
      }
      request.append(buffer, static_cast<std::size_t>(got));
    }
    const int on = 1;
    ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                             std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n";
    ::send(connection, head.data(), head.size(), MSG_NOSIGNAL);
    for (const char byte : page) {
      if (::send(connection, &byte, 1, MSG_NOSIGNAL) != 1) {
        return;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }

  std::string page;
  int listener = -1;
  unsigned short port = 0;
  std::atomic<bool> stopping{false};
  std::thread thread;
};

class NginxClientsTest : public ::testing::Test {
 protected:
  ModuleConfig config(std::string server = "") const {
    ModuleConfig made;
    made.settings = files.config();
    made.server = std::move(server);
    made.http = "  gzip on;\n  gzip_types text/html;\n  gzip_min_length 1;\n";
    return made;
  }

  SiteCopy site;
  FilterFiles files;
};

TEST_F(NginxClientsTest, HttpsWithHttp2GivesTheHostsBytes) {
  FilterFiles hostFiles;
  HostProcess host(kHost, {"--root", site.path(), "--config", hostFiles.config(), "--filter", kFilter});
  ModuleConfig secure = config();
  secure.tls = true;
  ModuleNginx nginx(site.path(), secure);
  for (const char* path : {"/index.html", "/second.html"}) {
    const std::string expected = body({host.url(path)});
    const ProgramResult plain = fetch({"--http2", "-w", "\n%{http_version}", nginx.url(path)});
    EXPECT_EQ(plain.output, expected + "\n2") << path << plain.errors;
    EXPECT_EQ(body({"--http2", "--compressed", nginx.url(path)}), expected) << path;
    for (const std::string& url : pictureUrls(expected)) {
      EXPECT_EQ(gifProblems(body({"--http2", nginx.url(url)})), "") << url;
    }
  }
}

TEST_F(NginxClientsTest, ChromiumSeesEveryPictureOverHttps) {
  if (!std::filesystem::exists(kChromium)) {
    GTEST_SKIP() << kChromium << " is not installed (Debian's chromium package)";
  }
  writeFile(site.file("probe.html"), readFile(site.file("index.html")) + kProbeScript);
  ModuleConfig secure = config();
  secure.tls = true;
  ModuleNginx nginx(site.path(), secure);
  const ProgramResult run = browserDom(nginx.url("/probe.html"));
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  const std::size_t elements = elementTexts(readFile(site.file("index.html"))).size();
  EXPECT_NE(run.output.find("data-loaded=\"" + std::to_string(elements) + " of " + std::to_string(elements) + "\""),
            std::string::npos)
      << run.output;
  EXPECT_EQ(run.output.find("<textimage"), std::string::npos);
}

TEST_F(NginxClientsTest, AFastCgiPageIsRewrittenAndItsResponderAskedForNoCodingOrRange) {
  if (!std::filesystem::exists(kFcgiwrap)) {
    GTEST_SKIP() << kFcgiwrap << " is not installed (Debian's fcgiwrap package)";
  }
  const TempDir sockets;
  std::filesystem::create_directories(site.file("cgi"));
  const std::string script = site.file("cgi/page.sh");
  writeFile(script,
            "#!/bin/sh\nprintf 'Content-Type: text/html\\r\\n\\r\\n'\ncat \"$DOCUMENT_ROOT/index.html\"\n"
            "printf '<p>coding [%s] range [%s]</p>\\n' \"$HTTP_ACCEPT_ENCODING\" \"$HTTP_RANGE\"\n");
  std::filesystem::permissions(script, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_read);
  ChildProcess responder(kFcgiwrap, {"-s", "unix:" + sockets.file("fcgi.sock")});
  for (int i = 0; i < 250 && !std::filesystem::exists(sockets.file("fcgi.sock")); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ModuleNginx nginx(site.path(), config("    location /cgi/ {\n      fastcgi_pass unix:" + sockets.file("fcgi.sock") +
                                        ";\n      include /etc/nginx/fastcgi_params;\n"
                                        "      fastcgi_param SCRIPT_FILENAME $document_root$fastcgi_script_name;\n"
                                        "    }\n"));
  const std::string page = body({"--compressed", "-r", "0-9", nginx.url("/cgi/page.sh")});
  EXPECT_EQ(page, body({nginx.url("/index.html")}) + "<p>coding [] range []</p>\n");
}

TEST_F(NginxClientsTest, AnUpstreamWritingOneByteAtATimeGivesTheSameBytes) {
  TricklingUpstream upstream(readFile(site.file("index.html")));
  ModuleNginx nginx(site.path(), config("    location /trickle/ { proxy_pass http://" + upstream.hostPort() +
                                        "; proxy_buffering off; proxy_buffer_size 256; }\n"));
  EXPECT_EQ(body({nginx.url("/trickle/index.html")}), body({nginx.url("/index.html")}));
}

}  // namespace
}  // namespace nimbuswatch::test
