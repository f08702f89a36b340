// Request targets and paths, types, dates and the command line.
#include "host/config/HostOptions.h"
#include "host/http/HttpDate.h"
#include "host/http/MimeType.h"
#include "host/http/ServerNames.h"

#include <gtest/gtest.h>

namespace nimbuswatch::host {
namespace {

TEST(UrlPathTest, DecodesThePathAndKeepsTheQueryAsWritten) {
  const ParsedTarget parsed = parseTarget("/sub/a%20b.html?x=%41&y");
  ASSERT_EQ(parsed.error, TargetError::None);
  EXPECT_EQ(parsed.target.path, "/sub/a b.html");
  EXPECT_EQ(parsed.target.query, "x=%41&y");

  const ParsedTarget absolute = parseTarget("http://example.org:81/x/y?q");
  EXPECT_EQ(absolute.target.path, "/x/y");
  EXPECT_EQ(absolute.target.query, "q");
  EXPECT_EQ(parseTarget("http://example.org").target.path, "/");
}

TEST(UrlPathTest, RefusesEverySpellingOfGoingUp) {
  for (const char* target : {"/..", "/a/../b", "/a/..", "/%2e%2e/etc/passwd", "/a/%2E%2E/b", "/..\\x", "/a%5c..%5cb",
                             "/a%2f..%2fb", "/x%00.html", "/%00"}) {
    EXPECT_EQ(parseTarget(target).error, TargetError::Forbidden) << target;
  }
  for (const char* target : {"/a..b/", "/.../", "/.hidden", "/a/./b", "/..a"}) {
    EXPECT_EQ(parseTarget(target).error, TargetError::None) << target;
  }
}

TEST(UrlPathTest, RejectsMalformedTargets) {
  for (const char* target : {"", "*", "relative/path", "/a%zz", "/a%4", "/a%", "?q"}) {
    EXPECT_EQ(parseTarget(target).error, TargetError::Malformed) << target;
  }
}

TEST(UrlPathTest, PrefixesJoinsAndEncodings) {
  EXPECT_EQ(afterPrefix("/textimages/abc.gif", "/textimages/"), "abc.gif");
  EXPECT_FALSE(afterPrefix("/textimagesabc.gif", "/textimages/"));
  EXPECT_FALSE(afterPrefix("/anything", ""));
  EXPECT_EQ(joinPath("/srv/site/", "/a/b"), "/srv/site/a/b");
  EXPECT_EQ(joinPath("/srv/site", "a"), "/srv/site/a");
  EXPECT_EQ(percentEncodePath("/a b/\"q\"/ü"), "/a%20b/%22q%22/%C3%BC");
}

TEST(MimeTypeTest, ChoosesByExtensionWithoutCase) {
  EXPECT_EQ(mimeType("/x/index.html"), "text/html");
  EXPECT_EQ(mimeType("/x/INDEX.HTM"), "text/html");
  EXPECT_EQ(mimeType("/x/a.gif"), "image/gif");
  EXPECT_EQ(mimeType("/x/style.css"), "text/css");
  EXPECT_EQ(mimeType("/x.d/README"), "application/octet-stream");
  EXPECT_EQ(mimeType("/x/archive.tar.zz"), "application/octet-stream");
}

TEST(HttpDateTest, WritesAndReadsTheThreeForms) {
  EXPECT_EQ(formatHttpDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(parseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT"), 784111777);
  EXPECT_EQ(parseHttpDate("Sunday, 06-Nov-94 08:49:37 GMT"), 784111777);
  EXPECT_EQ(parseHttpDate("Sun Nov  6 08:49:37 1994"), 784111777);
  EXPECT_FALSE(parseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT trailing"));
  EXPECT_FALSE(parseHttpDate("yesterday"));
}

TEST(HostOptionsTest, ReadsEveryOptionInBothSpellings) {
  const OptionsResult result =
      parseOptions({"--root", "/srv", "--listen=0.0.0.0:81", "--threads", "3", "--block-size=1", "--config", "a.reg",
                    "--filter", "f.so", "--keepalive-requests", "5", "--max-body-size=2m", "--max-connections", "7",
                    "--upstream-timeout", "9"});
  ASSERT_TRUE(result.options) << result.error;
  EXPECT_EQ(result.options->root, "/srv");
  EXPECT_EQ(result.options->listenAddress, "0.0.0.0");
  EXPECT_EQ(result.options->listenPort, 81);
  EXPECT_EQ(result.options->threads, 3u);
  EXPECT_EQ(result.options->blockSize, 1u);
  EXPECT_EQ(result.options->configFile, "a.reg");
  EXPECT_EQ(result.options->filterPath, "f.so");
  EXPECT_EQ(result.options->keepaliveRequests, 5u);
  EXPECT_EQ(result.options->maxBodySize, 2u * 1024 * 1024);
  EXPECT_EQ(result.options->maxConnections, 7u);
  EXPECT_EQ(result.options->upstreamTimeout, 9u);

  const OptionsResult proxy = parseOptions({"--upstream", "[::1]:8081"});
  ASSERT_TRUE(proxy.options) << proxy.error;
  EXPECT_EQ(proxy.options->upstreamHost, "::1");
  EXPECT_EQ(proxy.options->upstreamPort, "8081");
  EXPECT_EQ(proxy.options->listenPort, 8080);
  EXPECT_EQ(proxy.options->blockSize, 16384u);
  EXPECT_EQ(proxy.options->keepaliveRequests, 1000u);
  EXPECT_EQ(proxy.options->maxBodySize, 1024u * 1024);
  EXPECT_EQ(proxy.options->maxConnections, 0u);
  for (const auto& [text, bytes] : std::vector<std::pair<std::string, std::uint64_t>>{
           {"0", 0}, {"100", 100}, {"64k", 65536}, {"1G", 1u << 30}}) {
    EXPECT_EQ(parseOptions({"--root", "/srv", "--max-body-size", text}).options->maxBodySize, bytes) << text;
  }
}

TEST(HostOptionsTest, NamesWhatIsWrong) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--root", "/srv", "--bogus"}, "unknown option --bogus"},
      {{"--root"}, "--root needs a value"},
      {{"--root", "/srv", "--threads", "0"}, "--threads"},
      {{"--root", "/srv", "--block-size", "16k"}, "--block-size"},
      {{"--root", "/srv", "--keepalive-requests", "0"}, "--keepalive-requests"},
      {{"--root", "/srv", "--max-body-size", "1x"}, "--max-body-size"},
      {{"--root", "/srv", "--max-body-size", "k"}, "--max-body-size"},
      {{"--root", "/srv", "--max-body-size", "99999999999g"}, "--max-body-size"},
      {{"--root", "/srv", "--max-connections", "-1"}, "--max-connections"},
      {{"--root", "/srv", "--upstream-timeout", "0"}, "--upstream-timeout"},
      {{"--root", "/srv", "--listen", "8080"}, "--listen"},
      {{"--upstream", "nohost"}, "--upstream"},
      {{"--root", "/srv", "--upstream", "h:1"}, "only one"},
      {{"--config", "x.reg"}, "--config goes with"},
      {{"--root", "/srv", "--state", "s"}, "--state goes with"},
      {{"--check"}, "--check needs --config FILE"},
  };
  for (const auto& [arguments, expected] : cases) {
    const OptionsResult result = parseOptions(arguments);
    EXPECT_FALSE(result.options);
    EXPECT_NE(result.error.find(expected), std::string::npos) << result.error;
  }
  EXPECT_TRUE(parseOptions({"--help"}).options->help);
  // With neither mode the host serves the example site.
  const OptionsResult example = parseOptions({"--state", "/tmp/s", "--listen", "127.0.0.1:0"});
  ASSERT_TRUE(example.options);
  EXPECT_TRUE(example.options->exampleSite());
  EXPECT_EQ(example.options->stateDir, "/tmp/s");
  // --check reads the configuration only: no mode is needed.
  const OptionsResult check = parseOptions({"--check", "--config", "/etc/x.reg"});
  ASSERT_TRUE(check.options);
  EXPECT_TRUE(check.options->check);
  EXPECT_FALSE(check.options->exampleSite());
}

}  // namespace
}  // namespace nimbuswatch::host
