// The filter as the web server sees it: the real shared library (the DLL on
// Windows), loaded at run time, configured through its registry key and
// driven through its two exports by the server emulation.
#include "Settings/TraceCapture.h"
#include "platform/isapi.h"
#include "server/ServerConnection.h"
#include "support/FontsDir.h"
#include "support/RegistryKey.h"
#include "support/ResponseExchange.h"
#include "support/StreamTesting.h"
#include "support/TestSupport.h"

#include <gd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>
#include <string>

namespace nimbuswatch {
namespace {

using test::exists;
using server::Fields;
using server::ServerConnection;
using test::FontsDir;
using test::readFile;
using test::ScopedRegistryKey;
using test::TempDir;

#if defined(_WIN32)
constexpr const char* kLibrarySuffix = ".dll";
#else
constexpr const char* kLibrarySuffix = ".so";
#endif

// The request a response answers, as server variables.
server::RequestVariables pageRequest(const std::string& protocol = "HTTP/1.1") {
  return {"/index.html", "", "GET", protocol};
}
const Fields kHtmlFields = {{"Content-Type", "text/html; charset=utf-8"}};


// A site's worth of configuration in a temporary directory.
class FilterTest : public testing::Test {
 protected:
  FilterTest() {
    for (const char* dir : {"spool", "images"}) {
      std::filesystem::create_directory(temp.file(dir));
    }
    fonts.addTimes().addLiberationSerif();
  }

  void configure(bool withLog = true) {
    ScopedRegistryKey::Values values;
    auto value = [&values](const char* name, const std::string& text) { values.emplace_back(name, text); };
    if (withLog) value("LogFile", logPath());
    value("ImagesDir", temp.file("images/"));
    value("FontsDir", fonts.path());
    value("SpoolDir", temp.file("spool/"));
    value("ImagesURL", "/textimages/");
    value("DefaultFontFace", "Liberation Serif");
    value("DefaultFontSize", "16");
    values.insert(values.end(), extraSettings.begin(), extraSettings.end());
    registry.write(values);
  }

  // A filter instance of its own: the library is copied to a fresh path
  // before it is loaded, so every start has its own process-wide state. It
  // stays loaded: its process-wide objects live until the process ends.
  const server::LoadedFilter& start(bool withLog = true) {
    configure(withLog);
    const std::string copy = temp.file("nimbuswatch-copy" + std::to_string(starts++) + kLibrarySuffix);
    std::filesystem::copy_file(NIMBUSWATCH_FILTER_LIBRARY, copy);
    std::string error;
    testing::internal::CaptureStderr();
    filter = server::loadFilter(copy, error);
    startupStderr = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(filter.has_value()) << error;
    return *filter;
  }

  // One response through the filter on `connection`, as the server delivers
  // it; returns every byte that reaches the client.
  std::string serve(ServerConnection& connection, const test::Blocks& blocks,
                    const server::RequestVariables& request = pageRequest(), const Fields& fields = kHtmlFields) {
    connection.beginRequest(request);
    EXPECT_TRUE(connection.sendResponse(200, fields));
    for (std::string_view block : blocks) {
      EXPECT_TRUE(connection.rawData(block));
    }
    EXPECT_TRUE(connection.endOfRequest());
    return std::exchange(connection.output(), std::string());
  }

  // An image request: the URL-mapping notification for `url`.
  bool mapURL(ServerConnection& connection, const std::string& url) {
    connection.beginRequest({url, "", "GET", "HTTP/1.1"});
    std::string path = temp.file("images/") + url.substr(url.rfind('/') + 1);
    const bool goOn = connection.urlMap(path);
    connection.endOfRequest();
    return goOn;
  }

  std::string logPath() const { return temp.file("filter.log"); }
  std::vector<std::string> logMessages() const {
    std::vector<std::string> messages;
    for (const std::string& line : test::splitLines(readFile(logPath()))) messages.push_back(test::withoutTime(line));
    return messages;
  }

  TempDir temp;
  FontsDir fonts;
  ScopedRegistryKey registry;
  test::TraceCapture trace;
  std::optional<server::LoadedFilter> filter;
  ScopedRegistryKey::Values extraSettings;  // more values of the key
  int starts = 0;
  std::string startupStderr;
};

// The Windows build reads its DLL's export and import tables in a test of
// its own (tests/windows).
#if !defined(_WIN32)
TEST(FilterLibraryTest, ExportsExactlyTheTwoEntryPoints) {
  std::FILE* pipe = ::popen("nm -D --defined-only " NIMBUSWATCH_FILTER_LIBRARY, "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> names;
  char line[1024];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    text.erase(text.find_last_not_of("\n") + 1);
    names.insert(text.substr(text.rfind(' ') + 1));
  }
  ASSERT_EQ(::pclose(pipe), 0);
  EXPECT_EQ(names, (std::set<std::string>{"GetFilterVersion", "HttpFilterProc"}));
}
#endif

TEST_F(FilterTest, AnnouncesItselfAndStartsUp) {
  start();
  EXPECT_EQ(filter->version(), 0x00040000u);
  EXPECT_EQ(filter->description(), "nimbuswatch/1.0");
  EXPECT_EQ(filter->flags(), 0x000814C3u);
  EXPECT_EQ(startupStderr, "CHECKPOINT .\\src\\core:16\n");
  EXPECT_EQ(logMessages(), std::vector<std::string>{"notice: started"});
  EXPECT_NE(trace.raw().find("Start \n"), std::string::npos);
}

// LogLevel keeps the lines up to its level; absent it is 6, and a value that
// is no level is reported and leaves 6.
TEST_F(FilterTest, LogLevelChoosesTheLinesWritten) {
  const struct {
    const char* setting;
    std::vector<std::string> first;  // the log's first lines after one page
  } cases[] = {
      {nullptr, {"notice: started", "notice: Content-type=[text/html; charset=utf-8]"}},
      {"8", {"notice: started", "notice: Content-type=[text/html; charset=utf-8]"}},
      {"5", {"notice: started", "notice: Content-type=[text/html; charset=utf-8]"}},
      {"4", {}},
      {"0", {}},
      {"9", {"warning: .\\src\\core:0 ignoring LogLevel [9]: not a level from 0 to 8", "notice: started"}},
      {"high", {"warning: .\\src\\core:0 ignoring LogLevel [high]: not a level from 0 to 8", "notice: started"}},
  };
  for (const auto& c : cases) {
    extraSettings.clear();
    if (c.setting != nullptr) extraSettings.emplace_back("LogLevel", c.setting);
    start();
    ServerConnection server(&*filter);
    serve(server, {"HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<p>x</p>"});
    std::vector<std::string> messages = logMessages();
    if (!c.first.empty()) {
      messages.resize(std::min(messages.size(), c.first.size()));
    }
    for (std::string& message : messages) {
      message = std::regex_replace(message, std::regex(R"(:\d+ ignoring)"), ":0 ignoring");
    }
    EXPECT_EQ(messages, c.first) << (c.setting != nullptr ? c.setting : "absent");
  }
}

TEST_F(FilterTest, RewritesAPageAndDrawsItsPictureOnRequest) {
  start();
  ServerConnection server(&*filter);
  const std::string body = "<p>Mail <textimage color=navy>me@example.org</textimage> now</p>";
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\n\r\n";
  const std::string response = head + body;
  const std::string sent = serve(server, test::cutAt(response, {head.size() - 5, head.size() + 12}));

  const std::size_t split = sent.find("\r\n\r\n");
  ASSERT_NE(split, std::string::npos);
  EXPECT_EQ(sent.substr(0, split + 4),
            "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nTransfer-Encoding: chunked\r\n"
            "X-Powered-By: nimbuswatch/1.0\r\n\r\n");
  const auto page = test::decodeChunked(std::string_view(sent).substr(split + 4));
  ASSERT_TRUE(page.has_value()) << sent;
  std::smatch match;
  ASSERT_TRUE(std::regex_match(*page, match,
                               std::regex(R"(<p>Mail <img align="absmiddle" border="0" src="/textimages/([0-9a-f]{32})\.gif"> now</p>)")))
      << *page;
  EXPECT_EQ(page->find("me@example.org"), std::string::npos);

  const std::string url = "/textimages/" + match[1].str() + ".gif";
  EXPECT_TRUE(mapURL(server, url));
  const std::string gif = readFile(temp.file("images/") + match[1].str() + ".gif");
  gdImagePtr image = gdImageCreateFromGifPtr(static_cast<int>(gif.size()), const_cast<char*>(gif.data()));
  ASSERT_NE(image, nullptr);
  EXPECT_GT(gdImageSX(image), 20);
  gdImageDestroy(image);
}

TEST_F(FilterTest, LeavesOtherResponsesAndStrayNotificationsAlone) {
  start();
  ServerConnection server(&*filter);
  const std::string response = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\n\r\n<textimage>x</textimage>";
  EXPECT_EQ(serve(server, test::cutAt(response, {10}), {"/logo.png", "", "GET", "HTTP/1.1"},
                  {{"Content-Type", "image/png"}}),
            response);

  // Raw data with no record, a type nobody registered for, a second end.
  ServerConnection bare(&*filter);
  EXPECT_TRUE(bare.rawData("untouched"));
  EXPECT_EQ(bare.output(), "untouched");
  EXPECT_EQ(filter->notify(&bare.context(), SF_NOTIFY_LOG, nullptr), SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_EQ(filter->notify(&bare.context(), 0x7fffffff, nullptr), SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_TRUE(server.endOfRequest());
  EXPECT_EQ(server.output(), "");
}

// A kept-alive connection may carry thousands of responses: each one gets a
// fresh handler, but the server's per-connection memory does not grow.
TEST_F(FilterTest, AKeptAliveConnectionReusesItsRecordAndDoesNotGrow) {
  start();
  ServerConnection server(&*filter);
  const std::string first = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: keep-alive\r\n\r\n<b>one</b>";
  EXPECT_EQ(serve(server, {first}, pageRequest("HTTP/1.0")), "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n"
                                    "X-Powered-By: nimbuswatch/1.0\r\n\r\n<b>one</b>");
  void* firstRecord = server.context().pFilterContext;
  const std::size_t allocations = server.allocatedBlocks();
  for (int i = 0; i < 3; ++i) {
    const std::string second = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<b>two</b>";
    const std::string sent = serve(server, {second});
    EXPECT_TRUE(sent.ends_with("\r\n\r\na\r\n<b>two</b>\r\n0\r\n\r\n")) << sent;
  }
  EXPECT_EQ(server.context().pFilterContext, firstRecord);
  EXPECT_EQ(server.allocatedBlocks(), allocations);
}

TEST_F(FilterTest, AResponseReplacedBeforeItsEndIsReclaimedAndTheNextOneWorks) {
  start();
  ServerConnection server(&*filter);
  // A response that never sees its end of request ...
  server.beginRequest(pageRequest());
  EXPECT_TRUE(server.sendResponse(200, kHtmlFields));
  server.rawData("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<textimage>held");
  server.output().clear();
  // ... is replaced by the next one; its handler must not leak (the
  // sanitizer build checks) and the new response is unaffected.
  const std::string next = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\nok";
  const std::string sent = serve(server, {next});
  EXPECT_EQ(sent.substr(sent.size() - 12), "2\r\nok\r\n0\r\n\r\n");
}

// A range of a page cannot be rewritten: the response is cut off before the
// first byte of the page and the filter has the server close the connection.
TEST_F(FilterTest, ARangeOfAPageIsCutOffAndTheConnectionCloses) {
  start();
  const std::string single = "HTTP/1.1 206 Partial Content\r\nContent-Type: text/html\r\n"
                             "Content-Range: bytes 19-40/129\r\nContent-Length: 22\r\n\r\n";
  const std::string several = "HTTP/1.1 206 Partial Content\r\nContent-Type: multipart/byteranges; boundary=b\r\n"
                              "Content-Length: 200\r\n\r\n\r\n--b\r\nContent-Type: text/css\r\n\r\nbody {}\r\n--b\r\n";
  const struct {
    std::string head;    // what reaches the client
    std::string blocks[2];
  } cases[] = {
      {single, {single + "textimage size=16>sal", "es@"}},
      {several, {several, "Content-Type: text/html\r\n\r\n<textimage>sales@</textimage>"}},
  };
  for (const auto& c : cases) {
    ServerConnection server(&*filter);
    server.beginRequest(pageRequest());
    EXPECT_TRUE(server.sendResponse(206, test::headerFieldsOf(c.head)));
    EXPECT_EQ(server.rawData(c.blocks[0]), c.blocks[0] == c.head);
    if (c.blocks[0] == c.head) {
      EXPECT_FALSE(server.rawData(c.blocks[1]));
    }
    EXPECT_EQ(server.output(), c.head);
  }
  const auto messages = logMessages();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "warning: partial page cut off: /index.html"), 2);
}

TEST_F(FilterTest, ServerVariablesThatDoNotFitAreHandedOnEmpty) {
  start();
  ServerConnection server(&*filter);
  const std::string response = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\nbody";
  const std::string sent =
      serve(server, {response}, {"/" + std::string(300, 'u'), "", "GET", "HTTP/1.1-and-more-than-sixteen"});
  // The protocol reads as empty, which is not "HTTP/1.1": the unframed form.
  EXPECT_EQ(sent, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n"
                  "X-Powered-By: nimbuswatch/1.0\r\n\r\nbody");
  const auto messages = logMessages();
  EXPECT_NE(std::find(messages.begin(), messages.end(), "notice: parsing [] []"), messages.end());
}

TEST_F(FilterTest, RunsWithoutALogWhenTheLogFileCannotBeMade) {
  start(/*withLog=*/false);
  EXPECT_NE(startupStderr.find("nimbuswatch: Logger::Logger couldn't open logfile : No such file or directory"),
            std::string::npos);
  ServerConnection server(&*filter);
  const std::string response = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<textimage>x</textimage>";
  const std::string sent = serve(server, {response});
  EXPECT_NE(sent.find("<img "), std::string::npos);
  EXPECT_TRUE(mapURL(server, "/textimages/0123456789abcdef0123456789abcdef.gif"));
}

}  // namespace
}  // namespace nimbuswatch
