// nimbuswatch-host as a reverse proxy in front of Debian's nginx, which
// serves one page with Content-Length and, through SSI, one page chunked.
#include "HostTesting.h"

#include "support/RawHttp.h"

#include <gtest/gtest.h>

namespace nimbuswatch::test {
namespace {

const std::string kSsiPage = "<html><body><p>Served as <!--# echo var=\"DOCUMENT_URI\" --></p>\n" + numberedPage(300);
const std::string kSsiResult = "<html><body><p>Served as /ssi/page.html</p>\n" + numberedPage(300);

class HostProxyTest : public ::testing::Test {
 protected:
  HostProxyTest() {
    std::filesystem::create_directories(site.page("ssi"));
    writeFile(site.page("ssi/page.html"), kSsiPage);
  }

  std::vector<std::string> proxyArguments(const std::string& filter, std::vector<std::string> extra = {}) const {
    std::vector<std::string> arguments{"--upstream", nginx.hostPort(), "--config", site.config(),
                                       "--filter", filter, "--threads", "2"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return arguments;
  }

  HostSite site;
  // Compresses whatever it may, so a forwarded Accept-Encoding would show.
  NginxServer nginx{site.root(), "    gzip on;\n    gzip_types text/html text/css;\n    gzip_min_length 1;\n"
                                 "    location /ssi/ { ssi on; }\n"};
};

TEST_F(HostProxyTest, PassesLengthAndChunkedPagesThroughTheFilterAsTheyArrive) {
  for (const char* blockSize : {"16384", "1"}) {
    HostProcess host(kHost, proxyArguments(kSwapCaseFilter, {"--block-size", blockSize}));
    RawConnection client(host.port());
    const RawResponse plain = client.exchange(getRequest("/page.html", "Accept-Encoding: gzip\r\n"));
    EXPECT_FALSE(plain.chunked);
    EXPECT_EQ(plain.body, swapCase(readFile(site.page("page.html")))) << blockSize;
    const RawResponse chunked = client.exchange(getRequest("/ssi/page.html", "Accept-Encoding: gzip\r\n"));
    EXPECT_TRUE(chunked.chunked);
    EXPECT_EQ(chunked.body, swapCase(kSsiResult)) << blockSize;
    EXPECT_FALSE(client.closedByPeer(std::chrono::milliseconds(100)));
  }
}

TEST_F(HostProxyTest, AFilterThatReframesMeetsUpstreamBytesInOneByteBlocks) {
  HostProcess host(kHost, proxyArguments(kChunkingFilter, {"--block-size", "1"}));
  RawConnection client(host.port());
  for (int i = 0; i < 2; ++i) {
    const RawResponse response = client.exchange(getRequest("/page.html"));
    EXPECT_TRUE(response.chunked);
    EXPECT_EQ(response.body, readFile(site.page("page.html")));
  }
}

TEST_F(HostProxyTest, TheFilterSeesNoHopByHopFieldsAndNginxNoAcceptEncoding) {
  HostProcess host(kHost, proxyArguments(kRecordingFilter), site.environment());
  RawConnection client(host.port());
  const RawResponse response = client.exchange(getRequest("/page.html", "Accept-Encoding: gzip, br\r\n"));
  EXPECT_FALSE(response.has("keep-alive"));
  EXPECT_FALSE(response.has("content-encoding"));
  const std::string filterLog = readFile(site.logPath());
  EXPECT_NE(filterLog.find("SEND_RESPONSE 200 type=text/html connection=<absent> keep-alive=<absent> encoding=<absent>"),
            std::string::npos)
      << filterLog;
  const auto log = nginx.accessLog(1);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_TRUE(log[0].ends_with("\"GET /page.html HTTP/1.1\" -")) << log[0];
}

TEST_F(HostProxyTest, KeepsTheUpstreamConnectionAcrossRequests) {
  HostProcess host(kHost, proxyArguments(kRecordingFilter), site.environment());
  RawConnection client(host.port());
  for (const char* page : {"/page.html", "/ssi/page.html", "/style.css"}) {
    EXPECT_EQ(client.exchange(getRequest(page)).status, 200u) << page;
  }
  const auto log = nginx.accessLog(3);
  ASSERT_EQ(log.size(), 3u);
  const std::string connection = log[0].substr(0, log[0].find(' '));
  for (std::size_t i = 0; i < log.size(); ++i) {
    EXPECT_TRUE(log[i].starts_with(connection + " " + std::to_string(i + 1) + " ")) << log[i];
  }
}

TEST_F(HostProxyTest, AnHttp10ClientGetsChunkedPagesDecodedAndClosed) {
  HostProcess host(kHost, proxyArguments(kRecordingFilter), site.environment());
  {
    RawConnection client(host.port());
    const RawResponse response =
        client.exchange(getRequest("/ssi/page.html", "Connection: keep-alive\r\n", "GET", "HTTP/1.0"));
    EXPECT_TRUE(response.untilClose);
    EXPECT_EQ(response.body, kSsiResult);
    EXPECT_EQ(response.field("connection"), "close");
    EXPECT_TRUE(client.closedByPeer());
  }
  RawConnection client(host.port());
  const std::string request = getRequest("/page.html", "Connection: keep-alive\r\n", "GET", "HTTP/1.0");
  EXPECT_EQ(client.exchange(request).field("connection"), "keep-alive");
  EXPECT_EQ(client.exchange(request).body, readFile(site.page("page.html")));
}

TEST_F(HostProxyTest, HeadAndErrorsOfTheUpstreamPassThrough) {
  HostProcess host(kHost, proxyArguments(kRecordingFilter), site.environment());
  RawConnection client(host.port());
  const RawResponse head = client.exchange(getRequest("/page.html", "", "HEAD"), true);
  EXPECT_EQ(head.field("content-length"), std::to_string(readFile(site.page("page.html")).size()));
  const RawResponse missing = client.exchange(getRequest("/missing.html"));
  EXPECT_EQ(missing.status, 404u);
  EXPECT_NE(missing.body.find("nginx"), std::string::npos);
  EXPECT_EQ(client.exchange(getRequest("/page.html")).body, readFile(site.page("page.html")));
}

TEST_F(HostProxyTest, PicturesComeFromTheImagesDirectoryNotTheUpstream) {
  HostProcess host(kHost, proxyArguments(kRecordingFilter),
                   site.environment({{"TESTFILTER_DRAW_URL", "/textimages/"}}));
  EXPECT_EQ(curl({host.url("/textimages/feed.gif")}), "GIF89a drawn");
  curl({host.url("/index.html")});
  const auto log = nginx.accessLog(1);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find("GET /index.html"), std::string::npos);
}

TEST_F(HostProxyTest, AnUpstreamThatIsGoneGives502) {
  const unsigned short unused = freeLoopbackPort();
  HostProcess host(kHost, {"--upstream", "127.0.0.1:" + std::to_string(unused), "--filter", kRecordingFilter},
                   site.environment());
  RawConnection client(host.port());
  const RawResponse response = client.exchange(getRequest("/page.html"));
  EXPECT_EQ(response.status, 502u);
  EXPECT_NE(readFile(site.logPath()).find("SEND_RESPONSE 502"), std::string::npos);
}

}  // namespace
}  // namespace nimbuswatch::test
