// nimbuswatch-host serving static files, driving the test filters, seen by
// curl and by a raw socket.
#include "HostTesting.h"

#include "support/RawHttp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace nimbuswatch::test {
namespace {

// The filter log once it holds a line starting with `last` (a connection's
// END_OF_NET_SESSION comes after the client is gone).
std::vector<std::string> logUntil(const HostSite& site, const std::string& last) {
  for (int i = 0; i < 200; ++i) {
    const auto lines = site.log();
    if (std::any_of(lines.begin(), lines.end(), [&](const std::string& line) { return line.starts_with(last); })) {
      return lines;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return site.log();
}

std::size_t count(const std::vector<std::string>& lines, const std::string& prefix) {
  return static_cast<std::size_t>(
      std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.starts_with(prefix); }));
}

class HostStaticTest : public ::testing::Test {
 protected:
  HostSite site;
};

TEST_F(HostStaticTest, NotifiesTheFilterInOrderWithTheDecodedPath) {
  HostProcess host(kHost, site.staticArguments(kRecordingFilter), site.environment());
  const std::string page = readFile(site.page("sub/a b.html"));
  EXPECT_EQ(curlOutput({host.url("/sub/a%20b.html?x=%41")}), page);

  const auto lines = logUntil(site, "c1 END_OF_NET_SESSION");
  ASSERT_EQ(lines.size(), 6u) << readFile(site.logPath());
  EXPECT_EQ(lines[0], "c1 URL_MAP /sub/a b.html path=" + site.root() + "/sub/a b.html URL=/sub/a b.html "
                      "QUERY_STRING=x=%41 REQUEST_METHOD=GET SERVER_PROTOCOL=HTTP/1.1 request=1 sizes-ok");
  EXPECT_EQ(lines[1], "c1 SEND_RESPONSE 200 type=text/html connection=<absent> keep-alive=<absent> encoding=<absent>");
  EXPECT_TRUE(lines[2].starts_with("c1 RAW ")) << lines[2];  // the header block
  EXPECT_EQ(lines[3], "c1 RAW " + std::to_string(page.size()));
  EXPECT_EQ(lines[4], "c1 END_OF_REQUEST");
  EXPECT_EQ(lines[5], "c1 END_OF_NET_SESSION");
}

TEST_F(HostStaticTest, KeepsTheConnectionForSeveralRequestsAndOneContext) {
  HostProcess host(kHost, site.staticArguments(kRecordingFilter), site.environment());
  RawConnection client(host.port());
  const RawResponse first = client.exchange(getRequest("/page.html"));
  EXPECT_EQ(first.status, 200u);
  EXPECT_EQ(first.body, readFile(site.page("page.html")));
  EXPECT_FALSE(first.has("connection"));
  EXPECT_EQ(client.exchange(getRequest("/style.css")).field("content-type"), "text/css");

  const RawResponse head = client.exchange(getRequest("/page.html", "", "HEAD"), true);
  EXPECT_EQ(head.field("content-length"), std::to_string(first.body.size()));
  // Two requests in one write: the second waits in the host's buffer.
  client.send(getRequest("/index.html") + getRequest("/sub/"));
  EXPECT_EQ(client.read().body, readFile(site.page("index.html")));
  EXPECT_EQ(client.read().body, readFile(site.page("sub/index.html")));
  EXPECT_FALSE(client.closedByPeer(std::chrono::milliseconds(200)));

  const auto lines = site.log();
  EXPECT_EQ(count(lines, "c1 URL_MAP"), 5u);
  EXPECT_EQ(count(lines, "c2"), 0u);
  EXPECT_NE(std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.find("request=5") != l.npos; }),
            lines.end());
  // The HEAD response is a header block only.
  EXPECT_EQ(count(lines, "c1 RAW"), 2u + 2u + 1u + 2u + 2u);
}

TEST_F(HostStaticTest, ClosesAConnectionAfterItsAllowanceOfResponses) {
  HostProcess host(kHost, site.staticArguments(kRecordingFilter, {"--keepalive-requests", "3"}), site.environment());
  RawConnection client(host.port());
  EXPECT_FALSE(client.exchange(getRequest("/page.html")).has("connection"));
  EXPECT_FALSE(client.exchange(getRequest("/index.html")).has("connection"));
  EXPECT_EQ(client.exchange(getRequest("/page.html")).field("connection"), "close");
  EXPECT_TRUE(client.closedByPeer());
}

TEST_F(HostStaticTest, AFileShortenedWhileServedIsCutOffNotEnded) {
  // Far more than the socket buffers hold, so the host is still reading the
  // file when it shrinks.
  const std::string file = site.page("large.bin");
  writeFile(file, std::string(32 * 1024 * 1024, 'z'));
  HostProcess host(kHost, site.staticArguments(kChunkingFilter));
  RawConnection client(host.port());
  client.send(getRequest("/large.bin"));
  const std::string first = client.readSome();
  ASSERT_NE(first.find("Transfer-Encoding: chunked"), std::string::npos) << first;
  std::filesystem::resize_file(file, 1000);
  const std::string received = first + client.readUntilClose();
  EXPECT_LT(received.size(), 32u * 1024 * 1024);
  EXPECT_FALSE(received.ends_with("0\r\n\r\n")) << "the response ends as if complete";
  EXPECT_NE(host.process().errorOutput().find("nimbuswatch-host: [error] GET /large.bin: the file ended "),
            std::string::npos)
      << host.process().errorOutput();
}

TEST_F(HostStaticTest, Http10ClosesUnlessAskedToKeepAlive) {
  HostProcess host(kHost, site.staticArguments(kRecordingFilter), site.environment());
  {
    RawConnection client(host.port());
    const RawResponse response = client.exchange(getRequest("/page.html", "", "GET", "HTTP/1.0"));
    EXPECT_EQ(response.body, readFile(site.page("page.html")));
    EXPECT_EQ(response.field("connection"), "close");
    EXPECT_TRUE(client.closedByPeer());
  }
  RawConnection client(host.port());
  const std::string request = getRequest("/page.html", "Connection: keep-alive\r\n", "GET", "HTTP/1.0");
  EXPECT_EQ(client.exchange(request).field("connection"), "keep-alive");
  EXPECT_EQ(client.exchange(request).body, readFile(site.page("page.html")));
  EXPECT_FALSE(client.closedByPeer(std::chrono::milliseconds(200)));
  EXPECT_NE(readFile(site.logPath()).find("SERVER_PROTOCOL=HTTP/1.0"), std::string::npos);
}

TEST_F(HostStaticTest, AnswersConditionalRequestsWith304) {
  HostProcess host(kHost, site.staticArguments(kRecordingFilter), site.environment());
  RawConnection client(host.port());
  const RawResponse full = client.exchange(getRequest("/page.html"));
  const std::string modified = full.field("last-modified");
  ASSERT_FALSE(modified.empty());
  const RawResponse unchanged = client.exchange(getRequest("/page.html", "If-Modified-Since: " + modified + "\r\n"));
  EXPECT_EQ(unchanged.status, 304u);
  EXPECT_EQ(unchanged.field("last-modified"), modified);
  EXPECT_FALSE(unchanged.has("content-length"));
  const RawResponse changed =
      client.exchange(getRequest("/page.html", "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n"));
  EXPECT_EQ(changed.status, 200u);
  EXPECT_EQ(changed.body, full.body);
  EXPECT_NE(readFile(site.logPath()).find("SEND_RESPONSE 304"), std::string::npos);
}

TEST_F(HostStaticTest, ServesFilesLikeTheWindowsServer) {
  writeFile(site.page("picture.gif"), "GIF89a");
  writeFile(site.page("data.unknown"), "x");
  HostProcess host(kHost, site.staticArguments(kRecordingFilter), site.environment());
  RawConnection client(host.port());
  EXPECT_EQ(client.exchange(getRequest("/picture.gif")).field("content-type"), "image/gif");
  EXPECT_EQ(client.exchange(getRequest("/data.unknown")).field("content-type"), "application/octet-stream");
  EXPECT_EQ(client.exchange(getRequest("/")).body, readFile(site.page("index.html")));

  const RawResponse missing = client.exchange(getRequest("/missing.html"));
  EXPECT_EQ(missing.status, 404u);
  EXPECT_EQ(missing.field("content-type"), "text/html");
  EXPECT_NE(missing.body.find("Not Found"), std::string::npos);
  const RawResponse posted = client.exchange(getRequest("/page.html", "Content-Length: 2\r\n", "POST") + "ab");
  EXPECT_EQ(posted.status, 405u);
  EXPECT_EQ(posted.field("allow"), "GET, HEAD");
  const RawResponse directory = client.exchange(getRequest("/sub?x=1"));
  EXPECT_EQ(directory.status, 301u);
  EXPECT_EQ(directory.field("location"), "/sub/?x=1");
  EXPECT_FALSE(client.closedByPeer(std::chrono::milliseconds(100)));
  // Error pages go through the filter like any other response.
  EXPECT_NE(readFile(site.logPath()).find("SEND_RESPONSE 404 type=text/html"), std::string::npos);
}

TEST_F(HostStaticTest, RefusesParentSegmentsAndNulBeforeAnyFilterSeesThem) {
  HostProcess host(kHost, site.staticArguments(kRecordingFilter), site.environment());
  for (const char* target : {"/sub/../index.html", "/%2e%2e/%2e%2e/etc/passwd", "/sub%2f..%2fpage.html", "/page%00.html"}) {
    RawConnection client(host.port());
    const RawResponse response = client.exchange(getRequest(target));
    EXPECT_EQ(response.status, 400u) << target;
    EXPECT_TRUE(client.closedByPeer()) << target;
  }
  EXPECT_EQ(readFile(site.logPath()).find("URL_MAP"), std::string::npos);
}

TEST_F(HostStaticTest, CutsResponsesIntoBlocksOfTheGivenSize) {
  HostProcess host(kHost, site.staticArguments(kRecordingFilter, {"--block-size", "1"}), site.environment());
  RawConnection client(host.port());
  const RawResponse response = client.exchange(getRequest("/index.html"));
  const auto lines = site.log();
  EXPECT_EQ(count(lines, "c1 RAW 1"), response.head.size() + response.body.size());
  EXPECT_EQ(count(lines, "c1 RAW"), count(lines, "c1 RAW 1"));
}

TEST_F(HostStaticTest, AFilterRewritingIntoItsOwnBuffersMeetsOneByteBlocks) {
  HostProcess host(kHost, site.staticArguments(kSwapCaseFilter, {"--block-size", "1"}));
  RawConnection client(host.port());
  for (int i = 0; i < 2; ++i) {
    const RawResponse response = client.exchange(getRequest("/page.html"));
    EXPECT_EQ(response.field("content-type"), "text/html");
    EXPECT_EQ(response.body, swapCase(readFile(site.page("page.html"))));
  }
  EXPECT_EQ(curlOutput({host.url("/big.html")}), swapCase(readFile(site.page("big.html"))));
}

TEST_F(HostStaticTest, ServesPicturesFromTheImagesDirectoryAfterTheUrlMap) {
  HostProcess host(kHost, site.staticArguments(kRecordingFilter),
                   site.environment({{"TESTFILTER_DRAW_URL", "/textimages/"}}));
  EXPECT_FALSE(exists(site.imagesDir() + "0123abcd.gif"));
  const std::string response = curlOutput({"-i", host.url("/textimages/0123abcd.gif")});
  EXPECT_NE(response.find("Content-Type: image/gif"), std::string::npos) << response;
  EXPECT_TRUE(response.ends_with("\r\n\r\nGIF89a drawn")) << response;
  EXPECT_EQ(curlOutput({host.url("/textimages/0123abcd.gif")}), "GIF89a drawn");
  EXPECT_NE(readFile(site.logPath()).find("path=" + site.imagesDir() + "0123abcd.gif"), std::string::npos);
}

TEST_F(HostStaticTest, DeliversOnlyWhatTheFilterRegisteredFor) {
  {
    HostProcess host(kHost, site.staticArguments(kRecordingFilter),
                     site.environment({{"TESTFILTER_FLAGS", "442"}}));  // send-response and raw data
    curlOutput({host.url("/index.html")});
  }
  for (const std::string& line : site.log()) {
    EXPECT_TRUE(line.starts_with("c1 SEND_RESPONSE") || line.starts_with("c1 RAW")) << line;
  }
  std::filesystem::remove(site.logPath());
  {
    HostProcess host(kHost, site.staticArguments(kRecordingFilter),
                     site.environment({{"TESTFILTER_FLAGS", "14c1"}}));  // secure port only
    EXPECT_EQ(curlOutput({host.url("/index.html")}), readFile(site.page("index.html")));
  }
  EXPECT_FALSE(exists(site.logPath()));
}

TEST_F(HostStaticTest, BadOptionsAndFilesEndWithOneLineAndCode2) {
  const std::vector<std::vector<std::string>> cases{
      {"--root", site.root(), "--bogus"},
      {"--root", site.root(), "--config", site.page("missing.reg"), "--no-filter"},
      {"--root", site.page("missing"), "--no-filter"},
      {"--root", site.root(), "--filter", site.page("page.html")},
      {"--upstream", "127.0.0.1:notaport"},
      {"--root", site.root(), "--config", site.page("style.css"), "--filter", kRecordingFilter},
  };
  for (const auto& arguments : cases) {
    const ProgramResult result = runProgram(kHost, arguments);
    EXPECT_EQ(result.exitCode, 2) << arguments.back();
    EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 1) << result.errors;
    EXPECT_TRUE(result.errors.starts_with("nimbuswatch-host: ")) << result.errors;
  }
  const ProgramResult help = runProgram(kHost, {"--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (const char* option : {"--root", "--upstream", "--config", "--listen", "--threads", "--filter", "--block-size",
                             "--keepalive-requests", "--max-body-size", "--max-connections", "--upstream-timeout"}) {
    EXPECT_NE(help.output.find(option), std::string::npos) << option;
  }
}

}  // namespace
}  // namespace nimbuswatch::test
