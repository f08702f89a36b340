// The filter as the web server sees it: the real shared library (the DLL on
// Windows), loaded at run time, configured through its registry key and
// driven through its two exports with the records of the in-memory server.
#include "Settings/TraceCapture.h"
#include "platform/isapi.h"
#include "support/FakeServer.h"
#include "support/FontsDir.h"
#include "support/RegistryKey.h"
#include "support/StreamTesting.h"
#include "support/TestSupport.h"

#include <gd.h>
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>
#include <string>

namespace nimbuswatch {
namespace {

using test::exists;
using test::FakeServer;
using test::FontsDir;
using test::readFile;
using test::ScopedRegistryKey;
using test::TempDir;

#if defined(_WIN32)
constexpr const char* kLibrarySuffix = ".dll";

// Through the generic function type, which any function pointer converts to.
template <typename Function>
Function entryPoint(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
#else
constexpr const char* kLibrarySuffix = ".so";
#endif

// A filter instance of its own: the library is copied to a fresh path before
// it is loaded, so every test gets its own start-up and process-wide state.
class LoadedFilter {
 public:
  LoadedFilter(const std::string& copyPath) {
    std::filesystem::copy_file(NIMBUSWATCH_FILTER_LIBRARY, copyPath);
#if defined(_WIN32)
    if (HMODULE module = LoadLibraryA(copyPath.c_str())) {
      getFilterVersion = entryPoint<PFN_GetFilterVersion>(module, "GetFilterVersion");
      httpFilterProc = entryPoint<PFN_HttpFilterProc>(module, "HttpFilterProc");
    }
#else
    if (void* handle = ::dlopen(copyPath.c_str(), RTLD_NOW | RTLD_LOCAL)) {
      getFilterVersion = reinterpret_cast<PFN_GetFilterVersion>(::dlsym(handle, "GetFilterVersion"));
      httpFilterProc = reinterpret_cast<PFN_HttpFilterProc>(::dlsym(handle, "HttpFilterProc"));
    }
#endif
  }
  // Left loaded: the filter's process-wide objects live until the process ends.
  PFN_GetFilterVersion getFilterVersion = nullptr;
  PFN_HttpFilterProc httpFilterProc = nullptr;
};

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

  LoadedFilter& start(bool withLog = true) {
    configure(withLog);
    filter = std::make_unique<LoadedFilter>(temp.file("nimbuswatch-copy" + std::to_string(starts++) + kLibrarySuffix));
    EXPECT_NE(filter->getFilterVersion, nullptr);
    HTTP_FILTER_VERSION version{};
    testing::internal::CaptureStderr();
    EXPECT_EQ(filter->getFilterVersion(&version), TRUE);
    startupStderr = testing::internal::GetCapturedStderr();
    announced = version;
    return *filter;
  }

  DWORD notify(FakeServer& server, DWORD type, void* record) {
    return filter->httpFilterProc(&server.context(), type, record);
  }

  // One response through the filter, as the server would deliver it; returns
  // every byte that reaches the client.
  std::string serve(FakeServer& server, const test::Blocks& blocks) {
    server.onWriteClient([this, &server](HTTP_FILTER_RAW_DATA& raw) { notify(server, SF_NOTIFY_SEND_RAW_DATA, &raw); });
    EXPECT_EQ(notify(server, SF_NOTIFY_SEND_RESPONSE, &server.sendResponse()), SF_STATUS_REQ_NEXT_NOTIFICATION);
    std::string sent;
    for (std::string_view block : blocks) {
      std::string copy(block);
      HTTP_FILTER_RAW_DATA raw{copy.data(), static_cast<DWORD>(copy.size()), static_cast<DWORD>(copy.size()), 0};
      EXPECT_EQ(notify(server, SF_NOTIFY_SEND_RAW_DATA, &raw), SF_STATUS_REQ_NEXT_NOTIFICATION);
      sent.append(static_cast<const char*>(raw.pvInData), raw.cbInData);
    }
    const std::size_t before = server.written().size();
    EXPECT_EQ(notify(server, SF_NOTIFY_END_OF_REQUEST, nullptr), SF_STATUS_REQ_NEXT_NOTIFICATION);
    return sent + server.written().substr(before);
  }

  static void htmlResponse(FakeServer& server, const std::string& protocol = "HTTP/1.1") {
    server.setServerVariable("URL", "/index.html");
    server.setServerVariable("SERVER_PROTOCOL", protocol);
    server.setServerVariable("REQUEST_METHOD", "GET");
    server.setHeader("Content-Type", "text/html; charset=utf-8");
    server.setStatus(200);
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
  std::unique_ptr<LoadedFilter> filter;
  ScopedRegistryKey::Values extraSettings;  // more values of the key
  int starts = 0;
  HTTP_FILTER_VERSION announced{};
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
  EXPECT_EQ(announced.dwFilterVersion, 0x00040000u);
  EXPECT_STREQ(announced.lpszFilterDesc, "nimbuswatch/1.0");
  EXPECT_EQ(announced.dwFlags, 0x000814C3u);
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
    FakeServer server;
    htmlResponse(server);
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
  FakeServer server;
  htmlResponse(server);
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
  HTTP_FILTER_URL_MAP map{url.c_str(), nullptr, 0};
  EXPECT_EQ(notify(server, SF_NOTIFY_URL_MAP, &map), SF_STATUS_REQ_NEXT_NOTIFICATION);
  const std::string gif = readFile(temp.file("images/") + match[1].str() + ".gif");
  gdImagePtr image = gdImageCreateFromGifPtr(static_cast<int>(gif.size()), const_cast<char*>(gif.data()));
  ASSERT_NE(image, nullptr);
  EXPECT_GT(gdImageSX(image), 20);
  gdImageDestroy(image);
}

TEST_F(FilterTest, LeavesOtherResponsesAndStrayNotificationsAlone) {
  start();
  FakeServer server;
  server.setServerVariable("URL", "/logo.png");
  server.setServerVariable("SERVER_PROTOCOL", "HTTP/1.1");
  server.setServerVariable("REQUEST_METHOD", "GET");
  server.setHeader("Content-Type", "image/png");
  const std::string response = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\n\r\n<textimage>x</textimage>";
  EXPECT_EQ(serve(server, test::cutAt(response, {10})), response);

  // Raw data with no record, a type nobody registered for, a second end.
  FakeServer bare;
  std::string block = "untouched";
  HTTP_FILTER_RAW_DATA raw{block.data(), 9, 9, 0};
  EXPECT_EQ(notify(bare, SF_NOTIFY_SEND_RAW_DATA, &raw), SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_EQ(raw.pvInData, block.data());
  EXPECT_EQ(notify(bare, SF_NOTIFY_LOG, nullptr), SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_EQ(notify(bare, 0x7fffffff, nullptr), SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_EQ(notify(server, SF_NOTIFY_END_OF_REQUEST, nullptr), SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_EQ(server.written(), "");
}

// A kept-alive connection may carry thousands of responses: each one gets a
// fresh handler, but the server's per-connection memory does not grow.
TEST_F(FilterTest, AKeptAliveConnectionReusesItsRecordAndDoesNotGrow) {
  start();
  FakeServer server;
  htmlResponse(server, "HTTP/1.0");
  const std::string first = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: keep-alive\r\n\r\n<b>one</b>";
  EXPECT_EQ(serve(server, {first}), "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n"
                                    "X-Powered-By: nimbuswatch/1.0\r\n\r\n<b>one</b>");
  void* firstRecord = server.context().pFilterContext;
  const std::size_t allocations = server.allocationCount();
  htmlResponse(server);
  for (int i = 0; i < 3; ++i) {
    const std::string second = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<b>two</b>";
    const std::string sent = serve(server, {second});
    EXPECT_TRUE(sent.ends_with("\r\n\r\na\r\n<b>two</b>\r\n0\r\n\r\n")) << sent;
  }
  EXPECT_EQ(server.context().pFilterContext, firstRecord);
  EXPECT_EQ(server.allocationCount(), allocations);
}

TEST_F(FilterTest, AResponseReplacedBeforeItsEndIsReclaimedAndTheNextOneWorks) {
  start();
  FakeServer server;
  htmlResponse(server);
  // A response that never sees its end of request ...
  EXPECT_EQ(notify(server, SF_NOTIFY_SEND_RESPONSE, &server.sendResponse()), SF_STATUS_REQ_NEXT_NOTIFICATION);
  std::string block = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<textimage>held";
  HTTP_FILTER_RAW_DATA raw{block.data(), static_cast<DWORD>(block.size()), static_cast<DWORD>(block.size()), 0};
  notify(server, SF_NOTIFY_SEND_RAW_DATA, &raw);
  // ... is replaced by the next one; its handler must not leak (the
  // sanitizer build checks) and the new response is unaffected.
  const std::string next = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\nok";
  const std::string sent = serve(server, {next});
  EXPECT_EQ(sent.substr(sent.size() - 12), "2\r\nok\r\n0\r\n\r\n");
}

TEST_F(FilterTest, ServerVariablesThatDoNotFitAreHandedOnEmpty) {
  start();
  FakeServer server;
  htmlResponse(server);
  server.setServerVariable("URL", "/" + std::string(300, 'u'));
  server.setServerVariable("SERVER_PROTOCOL", "HTTP/1.1-and-more-than-sixteen");
  const std::string response = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\nbody";
  const std::string sent = serve(server, {response});
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
  FakeServer server;
  htmlResponse(server);
  const std::string response = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<textimage>x</textimage>";
  const std::string sent = serve(server, {response});
  EXPECT_NE(sent.find("<img "), std::string::npos);
  HTTP_FILTER_URL_MAP map{"/textimages/0123456789abcdef0123456789abcdef.gif", nullptr, 0};
  EXPECT_EQ(notify(server, SF_NOTIFY_URL_MAP, &map), SF_STATUS_REQ_NEXT_NOTIFICATION);
}

}  // namespace
}  // namespace nimbuswatch
