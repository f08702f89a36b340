// A filter that changes the response's length: the host must hand its
// end-of-request write back through raw data, and decide keep-alive from the
// framing the filter actually emitted.
#include "HostTesting.h"

#include "support/RawHttp.h"

#include <gtest/gtest.h>

namespace nimbuswatch::test {
namespace {

class HostFramingTest : public ::testing::Test {
 protected:
  HostSite site;
};

TEST_F(HostFramingTest, ResponsesRechunkedByTheFilterKeepTheConnection) {
  for (const char* blockSize : {"16384", "7", "1"}) {
    HostProcess host(kHost, site.staticArguments(kChunkingFilter, {"--block-size", blockSize}));
    RawConnection client(host.port());
    for (const char* page : {"page.html", "index.html", "big.html", "style.css"}) {
      const RawResponse response = client.exchange(getRequest(std::string("/") + page));
      EXPECT_TRUE(response.chunked) << page << " in blocks of " << blockSize;
      EXPECT_FALSE(response.has("content-length"));
      EXPECT_EQ(response.body, readFile(site.page(page))) << page << " in blocks of " << blockSize;
    }
    // A body-less answer is left alone and needs no framing.
    const RawResponse head = client.exchange(getRequest("/page.html", "", "HEAD"), true);
    EXPECT_FALSE(head.chunked);
    EXPECT_FALSE(client.closedByPeer(std::chrono::milliseconds(100))) << blockSize;
  }
}

TEST_F(HostFramingTest, CurlReadsRechunkedPagesOverOneConnection) {
  HostProcess host(kHost, site.staticArguments(kChunkingFilter));
  const std::string output =
      curlOutput({"-o", "/dev/null", "-o", "/dev/null", "-w", "%{http_code}:%{num_connects} ", host.url("/page.html"),
            host.url("/big.html")});
  EXPECT_EQ(output, "200:1 200:0 ");
}

TEST_F(HostFramingTest, AnUnframedResponseClosesTheConnection) {
  HostProcess host(kHost, site.staticArguments(kChunkingFilter), {{"TESTFILTER_MODE", "unframed"}});
  RawConnection client(host.port());
  const RawResponse response = client.exchange(getRequest("/page.html"));
  EXPECT_TRUE(response.untilClose);
  EXPECT_EQ(response.body, readFile(site.page("page.html")) + "<!-- end -->");
  EXPECT_TRUE(client.closedByPeer());
}

TEST_F(HostFramingTest, Http10ResponsesTheFilterLeavesAloneStayFramedByLength) {
  HostProcess host(kHost, site.staticArguments(kChunkingFilter));
  RawConnection client(host.port());
  const std::string request = getRequest("/page.html", "Connection: keep-alive\r\n", "GET", "HTTP/1.0");
  for (int i = 0; i < 2; ++i) {
    const RawResponse response = client.exchange(request);
    EXPECT_FALSE(response.chunked);
    EXPECT_EQ(response.body, readFile(site.page("page.html")));
  }
  EXPECT_FALSE(client.closedByPeer(std::chrono::milliseconds(100)));
}

}  // namespace
}  // namespace nimbuswatch::test
