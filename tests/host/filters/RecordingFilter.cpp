// Passes every byte through and records each notification it gets in the
// TESTFILTER_LOG file, with the connection it came on: "c<n> <what>". The
// connection number lives in AllocMem memory that pFilterContext points
// to, so it shows whether the context survives a connection's requests.
// URL_MAP of a URL under TESTFILTER_DRAW_URL writes a small file at the
// physical path first, as the real filter draws a picture.
#include "TestFilter.h"

#include <atomic>
#include <cerrno>

namespace {

std::atomic<int> connections{0};

struct ConnectionRecord {
  int number;
  int requests;
};

ConnectionRecord& record(HTTP_FILTER_CONTEXT* pfc) {
  if (pfc->pFilterContext == nullptr) {
    auto* fresh = static_cast<ConnectionRecord*>(pfc->AllocMem(pfc, sizeof(ConnectionRecord), 0));
    *fresh = {++connections, 0};
    pfc->pFilterContext = fresh;
  }
  return *static_cast<ConnectionRecord*>(pfc->pFilterContext);
}

void log(HTTP_FILTER_CONTEXT* pfc, const std::string& text) {
  testfilter::logLine("c" + std::to_string(record(pfc).number) + " " + text);
}

void drawIfAsked(const HTTP_FILTER_URL_MAP* map) {
  const char* prefix = std::getenv("TESTFILTER_DRAW_URL");
  if (prefix != nullptr && std::strncmp(map->pszURL, prefix, std::strlen(prefix)) == 0) {
    if (std::FILE* file = std::fopen(map->pszPhysicalPath, "wb")) {
      std::fputs("GIF89a drawn", file);
      std::fclose(file);
    }
  }
}

void onUrlMap(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_URL_MAP* map) {
  ++record(pfc).requests;
  // The size protocol: a zero size asks for the size needed, NUL included.
  DWORD size = 0;
  const BOOL answered = pfc->GetServerVariable(pfc, const_cast<char*>("URL"), nullptr, &size);
  const bool sizeQueryOk = !answered && errno == ERROR_INSUFFICIENT_BUFFER && size == std::strlen(map->pszURL) + 1;
  drawIfAsked(map);
  log(pfc, std::string("URL_MAP ") + map->pszURL + " path=" + map->pszPhysicalPath +
               " URL=" + testfilter::serverVariable(pfc, "URL") +
               " QUERY_STRING=" + testfilter::serverVariable(pfc, "QUERY_STRING") +
               " REQUEST_METHOD=" + testfilter::serverVariable(pfc, "REQUEST_METHOD") +
               " SERVER_PROTOCOL=" + testfilter::serverVariable(pfc, "SERVER_PROTOCOL") +
               " request=" + std::to_string(record(pfc).requests) + (sizeQueryOk ? " sizes-ok" : " sizes-wrong"));
}

void onSendResponse(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_SEND_RESPONSE* response) {
  log(pfc, "SEND_RESPONSE " + std::to_string(response->HttpStatus) +
               " type=" + testfilter::responseHeader(response, pfc, "content-TYPE:") +
               " connection=" + testfilter::responseHeader(response, pfc, "Connection:") +
               " keep-alive=" + testfilter::responseHeader(response, pfc, "Keep-Alive:") +
               " encoding=" + testfilter::responseHeader(response, pfc, "Content-Encoding:"));
}

}  // namespace

TEST_FILTER_EXPORT BOOL WINAPI GetFilterVersion(HTTP_FILTER_VERSION* version) {
  return testfilter::announce(version, "recording test filter", testfilter::kAllNotifications);
}

TEST_FILTER_EXPORT DWORD WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD notification, LPVOID data) {
  switch (notification) {
    case SF_NOTIFY_URL_MAP:
      onUrlMap(pfc, static_cast<HTTP_FILTER_URL_MAP*>(data));
      break;
    case SF_NOTIFY_SEND_RESPONSE:
      onSendResponse(pfc, static_cast<HTTP_FILTER_SEND_RESPONSE*>(data));
      break;
    case SF_NOTIFY_SEND_RAW_DATA:
      log(pfc, "RAW " + std::to_string(static_cast<HTTP_FILTER_RAW_DATA*>(data)->cbInData));
      break;
    case SF_NOTIFY_END_OF_REQUEST:
      log(pfc, "END_OF_REQUEST");
      break;
    case SF_NOTIFY_END_OF_NET_SESSION:
      log(pfc, "END_OF_NET_SESSION");
      break;
    default:
      log(pfc, "UNEXPECTED " + std::to_string(notification));
      break;
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}
