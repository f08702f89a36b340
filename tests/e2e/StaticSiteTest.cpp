// The example site served by nimbuswatch-host through the real filter,
// talked to with curl and with a raw socket that sees the exact framing.
#include "EndToEnd.h"

#include "support/RawHttp.h"

#include <gtest/gtest.h>


namespace nimbuswatch::test {
namespace {

class StaticSiteTest : public ::testing::Test {
 protected:
  ExampleHost host;
};

// A page response that went through the filter: rewritten and re-framed.
void expectRewrittenPage(const RawResponse& response, const std::string& name) {
  EXPECT_EQ(response.status, 200u) << name;
  EXPECT_TRUE(response.chunked) << name << "\n" << response.head;
  EXPECT_EQ(rewriteProblems(examplePage(name), response.body), "") << name;
}

TEST_F(StaticSiteTest, KeepAliveCarriesSeveralRewrittenPagesOnOneConnection) {
  RawConnection client(host.port());
  const RawResponse index = client.exchange(getRequest("/index.html"));
  expectRewrittenPage(index, "index.html");
  const RawResponse second = client.exchange(getRequest("/second.html"));
  expectRewrittenPage(second, "second.html");
  const RawResponse style = client.exchange(getRequest("/style.css"));
  EXPECT_EQ(style.field("content-length"), std::to_string(examplePage("style.css").size()));
  EXPECT_EQ(style.body, examplePage("style.css"));
  const RawResponse directory = client.exchange(getRequest("/"));
  expectRewrittenPage(directory, "index.html");
  EXPECT_EQ(directory.body, index.body);
  EXPECT_FALSE(client.closedByPeer(std::chrono::milliseconds(100)));

  // The address on the second page is the same element as the first one on
  // the index: both pages name one picture.
  ASSERT_EQ(pictureUrls(second.body).size(), 1u);
  EXPECT_EQ(pictureUrls(second.body)[0], pictureUrls(index.body)[0]);
}

TEST_F(StaticSiteTest, CurlFetchesSeveralPagesOverOneConnection) {
  const TempDir out;
  const ProgramResult result =
      curl({"-w", "%{http_code} %{num_connects}\\n", "-o", out.file("1"), host.url("/index.html"), "-o",
            out.file("2"), host.url("/second.html"), "-o", out.file("3"), host.url("/style.css")});
  ASSERT_EQ(result.exitCode, 0) << result.errors;
  EXPECT_EQ(result.output, "200 1\n200 0\n200 0\n");
  EXPECT_EQ(rewriteProblems(examplePage("index.html"), readFile(out.file("1"))), "");
  EXPECT_EQ(rewriteProblems(examplePage("second.html"), readFile(out.file("2"))), "");
  EXPECT_EQ(readFile(out.file("3")), examplePage("style.css"));
}

TEST_F(StaticSiteTest, AnHttp10ClientGetsTheRewrittenPageUntilTheConnectionCloses) {
  RawConnection client(host.port());
  const RawResponse response = client.exchange(getRequest("/index.html", "", "GET", "HTTP/1.0"));
  EXPECT_TRUE(response.untilClose) << response.head;
  EXPECT_EQ(response.field("connection"), "close");
  EXPECT_EQ(rewriteProblems(examplePage("index.html"), response.body), "");
  EXPECT_TRUE(client.closedByPeer());

  const ProgramResult viaCurl = curl({"--http1.0", host.url("/index.html")});
  EXPECT_EQ(viaCurl.exitCode, 0) << viaCurl.errors;
  EXPECT_EQ(viaCurl.output, response.body);
}

TEST_F(StaticSiteTest, HeadSendsTheFileFieldsUnrewrittenAndNoBody) {
  RawConnection client(host.port());
  const RawResponse head = client.exchange(getRequest("/index.html", "", "HEAD"), true);
  EXPECT_EQ(head.status, 200u);
  EXPECT_EQ(head.field("content-length"), std::to_string(examplePage("index.html").size()));
  EXPECT_FALSE(head.has("transfer-encoding"));
  // A body after the head would be read as the next response and fail it.
  expectRewrittenPage(client.exchange(getRequest("/second.html")), "second.html");

  const ProgramResult viaCurl = curl({"-I", host.url("/second.html")});
  EXPECT_EQ(viaCurl.exitCode, 0) << viaCurl.errors;
  EXPECT_NE(viaCurl.output.find("Content-Length: " + std::to_string(examplePage("second.html").size())),
            std::string::npos)
      << viaCurl.output;
}

TEST_F(StaticSiteTest, AConditionalRequestGets304AndTheConnectionGoesOn) {
  RawConnection client(host.port());
  const RawResponse first = client.exchange(getRequest("/index.html"));
  const std::string modified = first.field("last-modified");
  ASSERT_FALSE(modified.empty()) << first.head;
  const RawResponse unchanged = client.exchange(getRequest("/index.html", "If-Modified-Since: " + modified + "\r\n"));
  EXPECT_EQ(unchanged.status, 304u) << unchanged.head;
  EXPECT_FALSE(unchanged.has("transfer-encoding")) << unchanged.head;
  expectRewrittenPage(client.exchange(getRequest("/second.html")), "second.html");
  EXPECT_EQ(client.exchange(getRequest("/index.html")).body, first.body);

  const ProgramResult viaCurl =
      curl({"-o", "/dev/null", "-w", "%{http_code}", "-H", "If-Modified-Since: " + modified, host.url("/second.html")});
  EXPECT_EQ(viaCurl.output, "304");
}

TEST(StaticSiteBlocksTest, PagesCutIntoOneByteBlocksComeOutTheSame) {
  std::string whole[2];
  std::string cut[2];
  {
    ExampleHost host;
    RawConnection client(host.port());
    whole[0] = client.exchange(getRequest("/index.html")).body;
    whole[1] = client.exchange(getRequest("/second.html")).body;
  }
  ExampleHost host({"--block-size", "1"});
  RawConnection client(host.port());
  const RawResponse index = client.exchange(getRequest("/index.html"));
  EXPECT_TRUE(index.chunked);
  cut[0] = index.body;
  cut[1] = client.exchange(getRequest("/second.html")).body;
  EXPECT_EQ(rewriteProblems(examplePage("index.html"), cut[0]), "");
  EXPECT_EQ(cut[0], whole[0]);
  EXPECT_EQ(cut[1], whole[1]);
  EXPECT_EQ(client.exchange(getRequest("/style.css")).body, examplePage("style.css"));
}

TEST_F(StaticSiteTest, APictureIsDrawnOnTheFirstRequestAndServedFromTheCacheAfter) {
  RawConnection client(host.port());
  const std::vector<std::string> urls = pictureUrls(client.exchange(getRequest("/index.html")).body);
  ASSERT_EQ(urls.size(), elementTexts(examplePage("index.html")).size());
  for (const std::string& url : urls) {
    const std::string name = url.substr(url.rfind('/') + 1);
    EXPECT_EQ(host.log().find("cache hit: " + name), std::string::npos) << url;
    const RawResponse drawn = client.exchange(getRequest(url));
    EXPECT_EQ(drawn.status, 200u) << url;
    EXPECT_EQ(drawn.field("content-type"), "image/gif") << url;
    EXPECT_EQ(gifProblems(drawn.body), "") << url;
    EXPECT_EQ(readFile(host.imagesDir() + name), drawn.body) << url;

    const ProgramResult cached = curl({host.url(url)});
    EXPECT_EQ(cached.exitCode, 0) << cached.errors;
    EXPECT_EQ(cached.output, drawn.body) << url;
    EXPECT_NE(host.log().find("cache hit: " + name), std::string::npos) << url;
  }
}

TEST_F(StaticSiteTest, AnUnknownPictureIs404AndTheConnectionGoesOn) {
  RawConnection client(host.port());
  const RawResponse missing = client.exchange(getRequest("/textimages/00000000000000000000000000000000.gif"));
  EXPECT_EQ(missing.status, 404u);
  expectRewrittenPage(client.exchange(getRequest("/second.html")), "second.html");
}

}  // namespace
}  // namespace nimbuswatch::test
