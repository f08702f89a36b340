// nimbuswatch-host with the real filter in front of Debian's nginx: pages
// nginx sends with Content-Length and pages it sends chunked (its SSI
// module drops the length) come back rewritten and correctly framed, and
// their pictures load through the host.
#include "EndToEnd.h"

#include "support/RawHttp.h"
#include "support/Servers.h"

#include <gtest/gtest.h>

namespace nimbuswatch::test {
namespace {

constexpr int kManyElements = 400;

// The same files twice: as they are, and under /chunked/ through SSI. nginx
// compresses whatever it may, so an Accept-Encoding reaching it would show.
std::string nginxDirectives(const std::string& root) {
  return "    gzip on;\n    gzip_types text/html text/css;\n    gzip_min_length 1;\n"
         "    location /chunked/ { alias " + root + "; ssi on; }\n";
}

class NginxSite {
 public:
  NginxSite() { writeFile(site.file("directory.html"), manyElementsPage(kManyElements)); }
  const std::string& root() const { return site.path(); }
  std::string page(const std::string& name) const { return readFile(site.file(name)); }

 private:
  SiteCopy site;
};

class NginxUpstreamTest : public ::testing::Test {
 protected:
  std::vector<std::string> hostArguments(std::vector<std::string> extra = {}) const {
    std::vector<std::string> arguments{"--upstream", nginx.hostPort(), "--config", filter.config(),
                                       "--filter", kFilter, "--threads", "2"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return arguments;
  }

  // Fetches `path` through `client` and checks it against the site's `name`.
  void expectRewritten(RawConnection& client, const std::string& path, const std::string& name) {
    const RawResponse response = client.exchange(getRequest(path, "Accept-Encoding: gzip, deflate\r\n"));
    EXPECT_EQ(response.status, 200u) << path;
    EXPECT_FALSE(response.untilClose) << path << "\n" << response.head;
    EXPECT_FALSE(response.has("content-encoding")) << path;
    EXPECT_EQ(rewriteProblems(site.page(name), response.body), "") << path;
  }

  NginxSite site;
  FilterFiles filter;
  NginxServer nginx{site.root(), nginxDirectives(site.root())};
};

TEST_F(NginxUpstreamTest, NginxSendsTheSamePagesWithALengthAndChunked) {
  RawConnection direct(nginx.port());
  for (const char* name : {"index.html", "directory.html"}) {
    const RawResponse plain = direct.exchange(getRequest(std::string("/") + name));
    EXPECT_EQ(plain.field("content-length"), std::to_string(site.page(name).size())) << name;
    const RawResponse chunked = direct.exchange(getRequest(std::string("/chunked/") + name));
    EXPECT_TRUE(chunked.chunked) << name << "\n" << chunked.head;
    EXPECT_EQ(chunked.body, site.page(name));
  }
}

TEST_F(NginxUpstreamTest, BothFramingsComeBackRewrittenOnOneConnection) {
  HostProcess host(kHost, hostArguments());
  RawConnection client(host.port());
  for (const char* name : {"index.html", "directory.html", "second.html"}) {
    expectRewritten(client, std::string("/") + name, name);
    expectRewritten(client, std::string("/chunked/") + name, name);
  }
  const RawResponse style = client.exchange(getRequest("/style.css", "Accept-Encoding: gzip\r\n"));
  EXPECT_EQ(style.body, site.page("style.css"));
  EXPECT_FALSE(client.closedByPeer(std::chrono::milliseconds(100)));
}

TEST_F(NginxUpstreamTest, OneByteBlocksOfEitherFramingGiveTheSamePage) {
  HostProcess host(kHost, hostArguments({"--block-size", "1"}));
  RawConnection client(host.port());
  expectRewritten(client, "/index.html", "index.html");
  expectRewritten(client, "/chunked/index.html", "index.html");
  expectRewritten(client, "/chunked/second.html", "second.html");
}

TEST_F(NginxUpstreamTest, AnHttp10ClientGetsTheChunkedPageRewrittenUntilClose) {
  HostProcess host(kHost, hostArguments());
  RawConnection client(host.port());
  const RawResponse response = client.exchange(getRequest("/chunked/directory.html", "", "GET", "HTTP/1.0"));
  EXPECT_TRUE(response.untilClose) << response.head;
  EXPECT_EQ(rewriteProblems(site.page("directory.html"), response.body), "");
  EXPECT_TRUE(client.closedByPeer());
}

TEST_F(NginxUpstreamTest, ThePicturesOfProxiedPagesLoadFromTheHost) {
  HostProcess host(kHost, hostArguments());
  RawConnection client(host.port());
  std::vector<std::string> urls = pictureUrls(client.exchange(getRequest("/chunked/index.html")).body);
  const std::vector<std::string> more = pictureUrls(client.exchange(getRequest("/directory.html")).body);
  ASSERT_EQ(more.size(), static_cast<std::size_t>(kManyElements));
  urls.insert(urls.end(), more.begin(), more.begin() + 5);
  for (const std::string& url : urls) {
    const RawResponse picture = client.exchange(getRequest(url));
    EXPECT_EQ(picture.status, 200u) << url;
    EXPECT_EQ(picture.field("content-type"), "image/gif") << url;
    EXPECT_EQ(gifProblems(picture.body), "") << url;
  }
  const RawResponse again = client.exchange(getRequest(urls[0]));
  EXPECT_EQ(gifProblems(again.body), "");
  EXPECT_NE(filter.log().find("cache hit: " + urls[0].substr(urls[0].rfind('/') + 1)), std::string::npos);
  for (const std::string& line : nginx.accessLog(2)) {
    EXPECT_EQ(line.find("/textimages/"), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace nimbuswatch::test
