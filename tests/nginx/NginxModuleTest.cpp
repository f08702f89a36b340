// The filter inside Debian's nginx, beside nimbuswatch-host: the same pages
// come out byte for byte, with the same pictures, spool files and log
// lines; whatever the filter declines keeps nginx's sendfile; ranges, gzip,
// proxy_pass, SSI and buffers of one byte; and settings nginx -t refuses.
#include "ModuleNginx.h"

#include "../e2e/EndToEnd.h"
#include "support/Compression.h"
#include "support/RawHttp.h"
#include "support/Servers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

namespace nimbuswatch::test {
namespace {

constexpr int kDirectoryElements = 1000;
constexpr std::size_t kBinarySize = 1 << 20;

std::string binaryFile() {
  std::string bytes(kBinarySize, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>((i * 7919) >> 3);
  }
  return bytes;
}

// The directory FilterFiles keeps everything in.
std::string stateDir(const FilterFiles& files) {
  const std::string config = files.config();
  return config.substr(0, config.size() - std::string("nimbuswatch.reg").size());
}

// The log's lines without their time, with the state directory named alike.
std::vector<std::string> logLines(const FilterFiles& files) {
  std::vector<std::string> lines;
  for (std::string line : splitLines(files.log())) {
    line = line.substr(line.find("] ") + 2);
    for (std::size_t at; (at = line.find(stateDir(files))) != std::string::npos;) {
      line.replace(at, stateDir(files).size(), "STATE/");
    }
    lines.push_back(line);
  }
  return lines;
}

// Every file of `dir` by name, with its bytes.
std::vector<std::pair<std::string, std::string>> filesOf(const std::string& dir) {
  std::vector<std::pair<std::string, std::string>> found;
  for (const std::string& name : listDirectory(dir)) {
    found.emplace_back(name, readFile(dir + name));
  }
  std::sort(found.begin(), found.end());
  return found;
}

// Empty when both hold the same lines; else the first place they differ.
std::string lineDifference(const std::vector<std::string>& expected, const std::vector<std::string>& actual) {
  for (std::size_t i = 0; i < std::max(expected.size(), actual.size()); ++i) {
    const std::string want = i < expected.size() ? expected[i] : "(none)";
    const std::string got = i < actual.size() ? actual[i] : "(none)";
    if (want != got) {
      return "line " + std::to_string(i + 1) + ": expected [" + want + "] got [" + got + "]";
    }
  }
  return {};
}

std::string body(std::vector<std::string> arguments) {
  const ProgramResult result = fetch(std::move(arguments));
  EXPECT_EQ(result.exitCode, 0) << result.errors;
  return result.output;
}

class NginxModuleTest : public ::testing::Test {
 protected:
  NginxModuleTest() {
    writeFile(site.file("directory.html"), manyElementsPage(kDirectoryElements));
    writeFile(site.file("data.bin"), binaryFile());
  }

  ModuleConfig config(std::string server = "", std::string http = "") const {
    ModuleConfig made;
    made.settings = files.config();
    made.server = std::move(server);
    made.http = std::move(http);
    return made;
  }

  SiteCopy site;
  FilterFiles files;
};

TEST_F(NginxModuleTest, PagesPicturesSpoolAndLogAreTheHosts) {
  FilterFiles hostFiles;
  HostProcess host(kHost, {"--root", site.path(), "--config", hostFiles.config(), "--filter", kFilter,
                           "--threads", "1"});
  ModuleNginx nginx(site.path(), config("", "  gzip on;\n  gzip_types text/html;\n  gzip_min_length 1;\n"));

  const std::vector<std::vector<std::string>> variants{{}, {"--http1.0"}, {"--compressed"}};
  for (const char* path : {"/", "/index.html", "/second.html", "/directory.html"}) {
    const std::string source = readFile(site.file(path[1] == '\0' ? "index.html" : path + 1));
    std::string page;
    for (const auto& variant : variants) {
      std::vector<std::string> arguments = variant;
      arguments.push_back(host.url(path));
      page = body(arguments);
      arguments.back() = nginx.url(path);
      EXPECT_EQ(body(arguments), page) << path << " " << (variant.empty() ? "" : variant[0]);
    }
    EXPECT_EQ(rewriteProblems(source, page), "") << path;
    if (page.size() > 64 * 1024) {
      continue;  // a thousand pictures to draw twice: the smaller pages show enough
    }
    RawConnection fromNginx(nginx.port());
    RawConnection fromHost(host.port());
    for (const std::string& url : pictureUrls(page)) {
      const std::string picture = fromNginx.exchange(getRequest(url)).body;
      EXPECT_EQ(gifProblems(picture), "") << url;
      EXPECT_EQ(picture, fromHost.exchange(getRequest(url)).body) << url;
    }
  }
  EXPECT_EQ(filesOf(files.spoolDir()), filesOf(hostFiles.spoolDir()));
  EXPECT_EQ(filesOf(files.imagesDir()), filesOf(hostFiles.imagesDir()));
  EXPECT_EQ(lineDifference(logLines(hostFiles), logLines(files)), "");
}

TEST_F(NginxModuleTest, PicturesAreServedAsStaticFiles) {
  // As Debian's default site has it: try_files does not look for pictures.
  ModuleNginx nginx(site.path(), config("    location / { try_files $uri $uri/ =404; }\n"));
  RawConnection client(nginx.port());
  const RawResponse page = client.exchange(getRequest("/index.html"));
  const std::vector<std::string> urls = pictureUrls(page.body);
  ASSERT_FALSE(urls.empty());
  const RawResponse picture = client.exchange(getRequest(urls[0]));
  EXPECT_EQ(picture.status, 200u);
  EXPECT_EQ(picture.field("content-type"), "image/gif");
  EXPECT_EQ(picture.field("content-length"), std::to_string(picture.body.size()));
  EXPECT_EQ(gifProblems(picture.body), "");
  const RawResponse again =
      client.exchange(getRequest(urls[0], "If-Modified-Since: " + picture.field("last-modified") + "\r\n"));
  EXPECT_EQ(again.status, 304u);
  EXPECT_EQ(client.exchange(getRequest("/textimages/0123456789abcdef0123456789abcdef.gif")).status, 404u);
  EXPECT_EQ(client.exchange(getRequest(urls[0], "", "HEAD"), true).field("content-type"), "image/gif");
}

TEST_F(NginxModuleTest, DeclinedResponsesAreUntouchedAndKeepSendfile) {
  ModuleConfig debug = config();
  debug.logLevel = "debug";
  ModuleNginx nginx(site.path(), debug);
  RawConnection client(nginx.port());

  const RawResponse page = client.exchange(getRequest("/index.html"));
  EXPECT_EQ(page.field("x-powered-by"), "nimbuswatch/1.0");
  EXPECT_EQ(nginx.errorLog().find("sendfile: @"), std::string::npos) << "a rewritten page needs its bytes";

  for (const char* name : {"data.bin", "style.css"}) {
    const std::size_t before = nginx.errorLog().size();
    const RawResponse file = client.exchange(getRequest(std::string("/") + name));
    EXPECT_EQ(file.body, readFile(site.file(name))) << name;
    EXPECT_EQ(file.field("content-length"), std::to_string(file.body.size())) << name;
    EXPECT_FALSE(file.has("x-powered-by")) << name;
    EXPECT_TRUE(file.field("etag").starts_with("\"")) << name;
    EXPECT_NE(nginx.errorLog().find("sendfile: @0 ", before), std::string::npos) << name << " is not sent by sendfile";
  }
}

TEST_F(NginxModuleTest, ARangeOfAPageGetsTheWholePageAndOtherFilesTheirRanges) {
  ModuleNginx nginx(site.path(), config());
  RawConnection client(nginx.port());
  const std::string whole = client.exchange(getRequest("/second.html")).body;

  const RawResponse page = client.exchange(getRequest("/second.html", "Range: bytes=0-99\r\n"));
  EXPECT_EQ(page.status, 200u);
  EXPECT_EQ(page.body, whole);
  EXPECT_FALSE(page.has("accept-ranges"));
  EXPECT_TRUE(page.field("etag").starts_with("W/\""));

  const std::string style = readFile(site.file("style.css"));
  const RawResponse one = client.exchange(getRequest("/style.css", "Range: bytes=2-11\r\n"));
  EXPECT_EQ(one.status, 206u);
  EXPECT_EQ(one.body, style.substr(2, 10));
  const RawResponse two = client.exchange(getRequest("/style.css", "Range: bytes=0-1,4-5\r\n"));
  EXPECT_EQ(two.status, 206u);
  EXPECT_TRUE(two.field("content-type").starts_with("multipart/byteranges")) << two.head;
}

TEST_F(NginxModuleTest, ProxiedPagesAreAskedForWholeAndUncompressed) {
  NginxServer upstream(site.path(), "    gzip on;\n    gzip_types text/html text/css;\n    gzip_min_length 1;\n");
  ModuleNginx nginx(site.path(),
                    config("    location /up/ { proxy_pass http://" + upstream.hostPort() + "/; }\n"));
  RawConnection client(nginx.port());
  const std::string whole = client.exchange(getRequest("/directory.html")).body;

  const RawResponse proxied = client.exchange(getRequest("/up/directory.html", "Accept-Encoding: gzip\r\n"));
  EXPECT_EQ(proxied.status, 200u);
  EXPECT_FALSE(proxied.has("content-encoding"));
  EXPECT_EQ(proxied.body, whole);
  const RawResponse ranged = client.exchange(getRequest("/up/directory.html", "Range: bytes=10-20\r\n"));
  EXPECT_EQ(ranged.status, 200u);
  EXPECT_EQ(ranged.body, whole);

  // nginx answers a range of anything else itself, from the whole file.
  const RawResponse style = client.exchange(getRequest("/up/style.css", "Range: bytes=2-11\r\n"));
  EXPECT_EQ(style.status, 206u);
  EXPECT_EQ(style.body, readFile(site.file("style.css")).substr(2, 10));
  for (const std::string& line : upstream.accessLog(3)) {
    EXPECT_TRUE(line.ends_with(" -")) << "the upstream was offered a coding: " << line;
  }
}

TEST_F(NginxModuleTest, APageAnUpstreamCompressesAnywayIsDecodedOrRefused) {
  const std::string source = readFile(site.file("index.html"));
  ScriptedUpstream upstream([&](const ScriptedUpstream::Request& request) {
    const bool brotli = request.head.find("GET /br") == 0;
    const std::string content = brotli ? std::string("not really brotli") : compressed(source, 31);
    return ScriptedUpstream::Reply{"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: " +
                                   std::string(brotli ? "br" : "gzip") + "\r\nContent-Length: " +
                                   std::to_string(content.size()) + "\r\nETag: \"v1\"\r\n\r\n" + content};
  });
  ModuleNginx nginx(site.path(), config("    location /gz/ { proxy_pass http://" + upstream.hostPort() + "; }\n" +
                                        "    location /br/ { proxy_pass http://" + upstream.hostPort() + "; }\n"));
  RawConnection client(nginx.port());
  const RawResponse page = client.exchange(getRequest("/gz/index.html"));
  EXPECT_EQ(page.status, 200u);
  EXPECT_FALSE(page.has("content-encoding"));
  EXPECT_EQ(page.field("etag"), "W/\"v1\"");
  EXPECT_EQ(page.body, client.exchange(getRequest("/index.html")).body);

  RawConnection other(nginx.port());
  const RawResponse refused = other.exchange(getRequest("/br/index.html"));
  EXPECT_EQ(refused.status, 502u);
  EXPECT_EQ(refused.body.find("not really"), std::string::npos);
}

TEST_F(NginxModuleTest, SsiIncludesAreRewrittenOnceJoined) {
  std::filesystem::create_directories(site.file("ssi"));
  writeFile(site.file("ssi/part.html"),
            "<textimage font=\"Liberation Sans\" size=12>included@example.org</textimage>");
  writeFile(site.file("ssi/page.html"), "<p>Write to <!--# include virtual=\"/ssi/part.html\" --> today.</p>\n");
  ModuleNginx nginx(site.path(), config("    location /ssi/ { ssi on; }\n"));
  const std::string page = body({nginx.url("/ssi/page.html")});
  EXPECT_EQ(page.find("included@"), std::string::npos) << page;
  ASSERT_EQ(pictureUrls(page).size(), 1u) << page;
  EXPECT_EQ(gifProblems(body({nginx.url(pictureUrls(page)[0])})), "");
}

TEST_F(NginxModuleTest, BuffersOfOneByteAndReadsInThreadsGiveTheSameBytes) {
  ModuleNginx nginx(site.path(),
                    config("    location /tiny/ { alias " + site.path() +
                           "; sendfile off; output_buffers 1 1; postpone_output 0; }\n" +
                           "    location /threads/ { alias " + site.path() + "; aio threads; }\n"));
  for (const char* name : {"index.html", "directory.html"}) {
    const std::string page = body({nginx.url(std::string("/") + name)});
    EXPECT_EQ(body({nginx.url(std::string("/tiny/") + name)}), page) << name;
    EXPECT_EQ(body({nginx.url(std::string("/threads/") + name)}), page) << name;
  }
}

TEST(NginxModuleSettingsTest, NginxTestRefusesUnusableSettingsWithOneLine) {
  FilterFiles files;
  const std::string config = readFile(files.config());
  struct Case {
    std::string from, to;  // a change to the good settings
    std::string problem;   // what the line must say
  };
  const Case cases[] = {
      {"\"ImagesURL\"=\"/textimages/\"", "\"ImagesURL\"=\"textimages\"", "ImagesURL \"textimages\" does not begin"},
      {files.spoolDir(), files.spoolDir() + "missing/", "is not an existing directory"},
      {"Windows Registry Editor Version 5.00", "something else", "not a registry export"},
  };
  for (const Case& c : cases) {
    std::string changed = config;
    changed.replace(changed.find(c.from), c.from.size(), c.to);
    writeFile(files.config(), changed);
    const ProgramResult result = testConfiguration(files.config());
    EXPECT_NE(result.exitCode, 0) << c.problem;
    const std::regex line("nginx: \\[emerg\\] nimbuswatch: unusable settings \"" + files.config() + "\": [^\n]*" +
                          std::regex_replace(c.problem, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                          "[^\n]*\n");
    EXPECT_TRUE(std::regex_search(result.errors, line)) << result.errors;
  }
  const ProgramResult missing = testConfiguration(files.config() + ".missing");
  EXPECT_NE(missing.exitCode, 0);
  EXPECT_NE(missing.errors.find("cannot read it"), std::string::npos) << missing.errors;

  // nginx -t on good settings checks them without starting the filter,
  // which would empty the log of the nginx that runs.
  writeFile(files.config(), config);
  writeFile(stateDir(files) + "nimbuswatch.log", "a running nginx's line\n");
  const ProgramResult good = testConfiguration(files.config());
  EXPECT_EQ(good.exitCode, 0) << good.errors;
  EXPECT_EQ(files.log(), "a running nginx's line\n");
}

}  // namespace
}  // namespace nimbuswatch::test
