// The server's side of the ISAPI interface as the host and the tests offer it: the size
// protocols of GetHeader and GetServerVariable, the notifications a filter
// gets and does not get, WriteClient at the end of a request, and the life
// of a connection's context. The filter here is a function of the test,
// called through the same HttpFilterProc pointer a loaded library gives.
#include "server/ServerConnection.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <functional>
#include <string>
#include <vector>

namespace nimbuswatch::server {
namespace {

std::function<DWORD(HTTP_FILTER_CONTEXT*, DWORD, void*)> behaviour;

DWORD WINAPI testProc(HTTP_FILTER_CONTEXT* pfc, DWORD notification, LPVOID data) {
  return behaviour ? behaviour(pfc, notification, data) : static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION);
}

constexpr DWORD kEverything = SF_NOTIFY_NONSECURE_PORT | SF_NOTIFY_URL_MAP | SF_NOTIFY_SEND_RESPONSE |
                              SF_NOTIFY_SEND_RAW_DATA | SF_NOTIFY_END_OF_REQUEST | SF_NOTIFY_END_OF_NET_SESSION;

class ServerConnectionTest : public ::testing::Test {
 protected:
  ~ServerConnectionTest() override { behaviour = nullptr; }

  // Records each notification by number and answers NEXT_NOTIFICATION.
  void record() {
    behaviour = [this](HTTP_FILTER_CONTEXT*, DWORD notification, void*) {
      seen.push_back(notification);
      return static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION);
    };
  }

  static RequestVariables request(const std::string& url = "/a b.html") {
    return {url, "x=1", "GET", "HTTP/1.1"};
  }

  std::vector<DWORD> seen;
};

TEST_F(ServerConnectionTest, GetHeaderAnswersSizeQueriesAndFindsNamesInAnyCase) {
  HTTP_FILTER_SEND_RESPONSE* saved = nullptr;
  behaviour = [&](HTTP_FILTER_CONTEXT*, DWORD notification, void* data) {
    if (notification == SF_NOTIFY_SEND_RESPONSE) {
      saved = static_cast<HTTP_FILTER_SEND_RESPONSE*>(data);
      EXPECT_EQ(saved->HttpStatus, 200u);
    }
    return static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION);
  };
  const LoadedFilter filter(testProc, kEverything, "test");
  ServerConnection connection(&filter);
  connection.beginRequest(request());
  ASSERT_TRUE(connection.sendResponse(200, {{"Content-Type", "text/html; charset=utf-8"}, {"X-Empty", ""}}));
  ASSERT_NE(saved, nullptr);
  HTTP_FILTER_CONTEXT* pfc = &connection.context();

  // As the filter does it later, from a raw-data notification.
  DWORD size = 0;
  errno = 0;
  EXPECT_FALSE(saved->GetHeader(pfc, const_cast<char*>("content-TYPE:"), nullptr, &size));
  EXPECT_EQ(ServerConnection::lastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, sizeof("text/html; charset=utf-8"));
  std::string value(size, '?');
  EXPECT_TRUE(saved->GetHeader(pfc, const_cast<char*>("Content-Type:"), value.data(), &size));
  EXPECT_EQ(value, std::string("text/html; charset=utf-8") + '\0');
  EXPECT_EQ(size, value.size());

  size = 0;
  EXPECT_FALSE(saved->GetHeader(pfc, const_cast<char*>("X-Empty:"), nullptr, &size));
  EXPECT_EQ(size, 1u);
  for (const char* absent : {"Content-Length:", "Content-Type"}) {
    size = 0;
    errno = 0;
    EXPECT_FALSE(saved->GetHeader(pfc, const_cast<char*>(absent), nullptr, &size)) << absent;
    EXPECT_EQ(size, 0u) << absent;
    EXPECT_EQ(ServerConnection::lastError(), ERROR_INVALID_INDEX) << absent;
  }
}

TEST_F(ServerConnectionTest, SetHeaderChangesTheFieldsTheHeaderBlockIsMadeFrom) {
  behaviour = [](HTTP_FILTER_CONTEXT* pfc, DWORD notification, void* data) {
    if (notification == SF_NOTIFY_SEND_RESPONSE) {
      auto* record = static_cast<HTTP_FILTER_SEND_RESPONSE*>(data);
      record->SetHeader(pfc, const_cast<char*>("content-length:"), const_cast<char*>(""));
      record->SetHeader(pfc, const_cast<char*>("Server:"), const_cast<char*>("other"));
      record->AddHeader(pfc, const_cast<char*>("X-Added:"), const_cast<char*>("1"));
    }
    return static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION);
  };
  const LoadedFilter filter(testProc, kEverything, "test");
  ServerConnection connection(&filter);
  connection.beginRequest(request());
  connection.sendResponse(200, {{"Server", "host"}, {"Content-Length", "3"}});
  const Fields expected = {{"Server", "other"}, {"X-Added", "1"}};
  ASSERT_EQ(connection.responseFields().size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(connection.responseFields()[i].name, expected[i].name);
    EXPECT_EQ(connection.responseFields()[i].value, expected[i].value);
  }
}

TEST_F(ServerConnectionTest, ServerVariablesFollowTheSizeProtocol) {
  std::vector<std::string> answers;
  behaviour = [&](HTTP_FILTER_CONTEXT* pfc, DWORD notification, void* data) {
    if (notification != SF_NOTIFY_URL_MAP) {
      return static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION);
    }
    EXPECT_STREQ(static_cast<HTTP_FILTER_URL_MAP*>(data)->pszURL, "/a b.html");
    for (const char* name : {"URL", "QUERY_STRING", "REQUEST_METHOD", "SERVER_PROTOCOL"}) {
      char buffer[64];
      DWORD size = sizeof buffer;
      EXPECT_TRUE(pfc->GetServerVariable(pfc, const_cast<char*>(name), buffer, &size));
      EXPECT_EQ(size, std::strlen(buffer) + 1);
      answers.emplace_back(buffer);
    }
    char small[4];
    DWORD size = sizeof small;
    errno = 0;
    EXPECT_FALSE(pfc->GetServerVariable(pfc, const_cast<char*>("URL"), small, &size));
    EXPECT_EQ(ServerConnection::lastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(size, sizeof("/a b.html"));
    EXPECT_FALSE(pfc->GetServerVariable(pfc, const_cast<char*>("NO_SUCH_VARIABLE"), small, &size));
    EXPECT_EQ(ServerConnection::lastError(), ERROR_INVALID_INDEX);
    // The filter may rewrite the physical path in place.
    std::strcpy(static_cast<HTTP_FILTER_URL_MAP*>(data)->pszPhysicalPath, "/elsewhere/file");
    return static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION);
  };
  const LoadedFilter filter(testProc, kEverything, "test");
  ServerConnection connection(&filter);
  connection.beginRequest(request());
  std::string physical = "/srv/a b.html";
  EXPECT_TRUE(connection.urlMap(physical));
  EXPECT_EQ(physical, "/elsewhere/file");
  EXPECT_EQ(answers, (std::vector<std::string>{"/a b.html", "x=1", "GET", "HTTP/1.1"}));
}

TEST_F(ServerConnectionTest, OnlyRegisteredNotificationsArrive) {
  record();
  {
    const LoadedFilter filter(testProc, SF_NOTIFY_NONSECURE_PORT | SF_NOTIFY_SEND_RAW_DATA, "test");
    ServerConnection connection(&filter);
    connection.beginRequest(request());
    std::string physical = "/srv/x";
    connection.urlMap(physical);
    connection.sendResponse(200, {});
    connection.rawData("abc");
    connection.endOfRequest();
    EXPECT_EQ(connection.output(), "abc");
  }
  EXPECT_EQ(seen, std::vector<DWORD>{SF_NOTIFY_SEND_RAW_DATA});

  seen.clear();
  const LoadedFilter secureOnly(testProc, SF_NOTIFY_SECURE_PORT | SF_NOTIFY_SEND_RAW_DATA, "test");
  ServerConnection connection(&secureOnly);
  connection.beginRequest(request());
  connection.rawData("abc");
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(connection.output(), "abc");
}

TEST_F(ServerConnectionTest, WriteClientAtEndOfRequestPassesTheRawDataNotification) {
  // The filter frames its own final bytes: it marks them at END_OF_REQUEST and
  // finishes them when they come back through SEND_RAW_DATA.
  std::string replacement;
  bool finished = false;
  behaviour = [&](HTTP_FILTER_CONTEXT* pfc, DWORD notification, void* data) {
    if (notification == SF_NOTIFY_END_OF_REQUEST) {
      finished = true;
      char marker[] = "FINAL";
      DWORD size = 5;
      EXPECT_TRUE(pfc->WriteClient(pfc, marker, &size, 0));
    } else if (notification == SF_NOTIFY_SEND_RAW_DATA) {
      auto* raw = static_cast<HTTP_FILTER_RAW_DATA*>(data);
      const std::string block(static_cast<char*>(raw->pvInData), raw->cbInData);
      replacement = finished ? "<" + block + ">" : "";  // body blocks are swallowed
      raw->pvInData = replacement.data();
      raw->cbInData = static_cast<DWORD>(replacement.size());
    }
    return static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION);
  };
  const LoadedFilter filter(testProc, kEverything, "test");
  ServerConnection connection(&filter);
  connection.beginRequest(request());
  connection.rawData("swallowed");
  EXPECT_EQ(connection.output(), "");
  EXPECT_TRUE(connection.endOfRequest());
  EXPECT_EQ(connection.output(), "<FINAL>");
}

TEST_F(ServerConnectionTest, WriteClientFromRawDataGoesStraightOut) {
  behaviour = [](HTTP_FILTER_CONTEXT* pfc, DWORD notification, void*) {
    if (notification == SF_NOTIFY_SEND_RAW_DATA) {
      char note[] = "[note]";
      DWORD size = 6;
      pfc->WriteClient(pfc, note, &size, 0);
    }
    return static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION);
  };
  const LoadedFilter filter(testProc, kEverything, "test");
  ServerConnection connection(&filter);
  connection.beginRequest(request());
  connection.rawData("block");
  EXPECT_EQ(connection.output(), "[note]block");
}

TEST_F(ServerConnectionTest, ContextAndMemoryBelongToTheConnection) {
  std::vector<void*> contexts;
  behaviour = [&](HTTP_FILTER_CONTEXT* pfc, DWORD notification, void*) {
    if (notification == SF_NOTIFY_SEND_RESPONSE) {
      if (pfc->pFilterContext == nullptr) {
        pfc->pFilterContext = pfc->AllocMem(pfc, 64, 0);
      }
      contexts.push_back(pfc->pFilterContext);
      std::memset(pfc->AllocMem(pfc, 100, 0), 0xAB, 100);
    }
    seen.push_back(notification);
    return static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION);
  };
  const LoadedFilter filter(testProc, kEverything, "test");
  {
    ServerConnection connection(&filter);
    for (int i = 0; i < 3; ++i) {
      connection.beginRequest(request());
      connection.sendResponse(200, {});
      connection.endOfRequest();
    }
    EXPECT_EQ(connection.allocatedBlocks(), 4u);
    // A request the client abandons before its end.
    connection.beginRequest(request());
    connection.sendResponse(200, {});
    seen.clear();
  }
  ASSERT_EQ(contexts.size(), 4u);
  EXPECT_EQ(contexts[0], contexts[3]);
  EXPECT_EQ(seen, (std::vector<DWORD>{SF_NOTIFY_END_OF_REQUEST, SF_NOTIFY_END_OF_NET_SESSION}));
}

TEST_F(ServerConnectionTest, AFilterEndsTheRequestByItsStatusOrByThrowing) {
  DWORD answer = SF_STATUS_REQ_FINISHED;
  behaviour = [&](HTTP_FILTER_CONTEXT*, DWORD, void*) -> DWORD {
    if (answer == 0) {
      throw std::runtime_error("escaped");
    }
    return answer;
  };
  const LoadedFilter filter(testProc, kEverything, "test");
  ServerConnection connection(&filter);
  connection.beginRequest(request());
  EXPECT_FALSE(connection.rawData("x"));
  answer = SF_STATUS_REQ_HANDLED_NOTIFICATION;
  EXPECT_TRUE(connection.rawData("x"));
  answer = 0;
  EXPECT_FALSE(connection.rawData("x"));
  behaviour = nullptr;
}

TEST_F(ServerConnectionTest, WithoutAFilterBytesPassUntouched) {
  ServerConnection connection(nullptr);
  connection.beginRequest(request());
  std::string physical = "/srv/x";
  EXPECT_TRUE(connection.urlMap(physical));
  EXPECT_TRUE(connection.sendResponse(200, {{"A", "b"}}));
  EXPECT_TRUE(connection.rawData("bytes"));
  EXPECT_TRUE(connection.endOfRequest());
  EXPECT_EQ(connection.output(), "bytes");
  EXPECT_EQ(physical, "/srv/x");
}

}  // namespace
}  // namespace nimbuswatch::server
