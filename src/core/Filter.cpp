#include "core/Filter.h"

#include "CoreRequestHandler/CoreRequestHandler.h"
#include "Logger/Logger.h"
#include "Settings/Settings.h"
#include "SpoolStorage/SpoolStorage.h"
#include "core/Process.h"
#include "core/ResponseHandler.h"

#include <gd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

namespace nimbuswatch {

namespace {

constexpr const char* kModule = ".\\src\\core";
// The place start-up names on standard error before anything else.
constexpr CodePlace kStartUp{kModule, 16};

// The buffer sizes for server variables, terminating NUL included.
constexpr DWORD kUrlBuffer = 256;
constexpr DWORD kProtocolBuffer = 16;
constexpr DWORD kMethodBuffer = 32;

// A server variable as a string; the empty string when it cannot be read or
// does not fit in `size` bytes with its NUL.
std::string serverVariable(HTTP_FILTER_CONTEXT* pfc, const char* name, DWORD size) {
  char buffer[kUrlBuffer] = {};
  DWORD length = size;
  if (pfc->GetServerVariable == nullptr ||
      !pfc->GetServerVariable(pfc, const_cast<char*>(name), buffer, &length)) {
    return {};
  }
  buffer[size - 1] = '\0';
  return buffer;
}

ResponseContext* contextOf(HTTP_FILTER_CONTEXT* pfc) { return static_cast<ResponseContext*>(pfc->pFilterContext); }

bool isLive(const ResponseContext* context) {
  return context != nullptr && context->handler != nullptr && context->finished == 0;
}

void destroyHandler(ResponseContext* context) {
  delete context->handler;
  context->handler = nullptr;
}

// The record a connection keeps for its responses: made from the server's
// per-connection memory once, and reused by every later response on the same
// connection, so a kept-alive connection does not grow with each response.
ResponseContext* recordFor(HTTP_FILTER_CONTEXT* pfc) {
  if (ResponseContext* earlier = contextOf(pfc); earlier != nullptr) {
    // A response that ended without an end of request still owns its
    // handler: reclaim it before the record is reused.
    destroyHandler(earlier);
    return earlier;
  }
  return static_cast<ResponseContext*>(pfc->AllocMem(pfc, sizeof(ResponseContext), 0));
}

void onSendResponse(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_SEND_RESPONSE* sendResponse) {
  const std::string url = serverVariable(pfc, "URL", kUrlBuffer);
  const std::string protocol = serverVariable(pfc, "SERVER_PROTOCOL", kProtocolBuffer);
  const std::string method = serverVariable(pfc, "REQUEST_METHOD", kMethodBuffer);

  ResponseContext* context = recordFor(pfc);
  if (context == nullptr) {
    return;
  }
  context->pfc = pfc;
  context->sendResponse = *sendResponse;
  context->finished = 0;
  context->handler =
      new (std::nothrow) ResponseHandler(context, url, protocol, method, processValues().elementStore());
  pfc->pFilterContext = context;
}

// False when the response is cut off and the connection must close.
bool onSendRawData(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* rawData) {
  ResponseContext* context = contextOf(pfc);
  if (!isLive(context)) {
    return true;
  }
  context->pfc = pfc;
  return context->handler->processRawData(*rawData);
}

void onEndOfRequest(HTTP_FILTER_CONTEXT* pfc) {
  ResponseContext* context = contextOf(pfc);
  if (!isLive(context)) {
    return;
  }
  // Set first: the write below comes back as raw data and must pass untouched.
  context->finished = 1;
  context->pfc = pfc;
  const ResponseHandler::Bytes bytes = context->handler->finish();
  if (bytes.length != 0 && pfc->WriteClient != nullptr) {
    DWORD length = static_cast<DWORD>(bytes.length);
    pfc->WriteClient(pfc, const_cast<char*>(bytes.data), &length, 0);
  }
  destroyHandler(context);
}

// The status the server gets back: go on, except for a response cut off,
// whose connection the server is to close.
DWORD dispatch(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType, void* notification) {
  switch (notificationType) {
    case SF_NOTIFY_SEND_RESPONSE:
      onSendResponse(pfc, static_cast<HTTP_FILTER_SEND_RESPONSE*>(notification));
      break;
    case SF_NOTIFY_SEND_RAW_DATA:
      if (!onSendRawData(pfc, static_cast<HTTP_FILTER_RAW_DATA*>(notification))) {
        return SF_STATUS_REQ_FINISHED;
      }
      break;
    case SF_NOTIFY_END_OF_REQUEST:
      onEndOfRequest(pfc);
      break;
    case SF_NOTIFY_URL_MAP:
      handleImageRequest(static_cast<HTTP_FILTER_URL_MAP*>(notification)->pszURL, processValues().imageSettings());
      break;
    default:
      break;
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

// The optional setting LogLevel: a level from 0 to 8 keeps the lines up to
// it; absent, it is 6 (info). Anything else is reported once the log is
// open and leaves the default.
struct LogLevelSetting {
  int level = kInfo;
  bool valid = true;
};

LogLevelSetting readLogLevel(const std::string& text) {
  if (text.empty()) {
    return {};
  }
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '0' + kStream) {
    return {text[0] - '0', true};
  }
  return {kInfo, false};
}

}  // namespace

void startUp() {
  std::fprintf(stderr, "CHECKPOINT %s:%d\n", kStartUp.module, kStartUp.line);
  ProcessValues& state = processValues();
  state.settings = new (std::nothrow) Settings();
  const Settings* settings = state.settings;
  auto setting = [settings](const char* name) { return std::string(settings != nullptr ? settings->get(name) : ""); };
  state.spool = new (std::nothrow) SpoolStorage(setting("SpoolDir"));
  const LogLevelSetting logLevel = readLogLevel(setting("LogLevel"));
  try {
    setProcessLogger(new Logger(setting("LogFile"), logLevel.level));
  } catch (const LoggerError&) {
    setProcessLogger(nullptr);  // reported on standard error; the filter runs without a log
  }
  state.imagesURL = setting("ImagesURL");
  state.imagesDir = setting("ImagesDir");
  state.fontsDir = setting("FontsDir");
  // The drawing library makes its font cache on first use without a lock:
  // make it now, before any worker thread can draw.
  gdFontCacheSetup();
  if (!logLevel.valid) {
    logAt(kWarning, {kModule, __LINE__}, "ignoring LogLevel [%s]: not a level from 0 to 8", setting("LogLevel").c_str());
  }
  logMessage(kNotice, "started");
}

BOOL getFilterVersion(HTTP_FILTER_VERSION* version) {
  version->dwFilterVersion = kFilterVersion;
  std::snprintf(version->lpszFilterDesc, sizeof version->lpszFilterDesc, "%s", kFilterDescription);
  version->dwFlags = kFilterFlags;
  static std::once_flag once;
  std::call_once(once, startUp);
  return TRUE;
}

DWORD httpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType, void* notification) {
  if (pfc == nullptr) {
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
  return dispatch(pfc, notificationType, notification);
}

}  // namespace nimbuswatch
