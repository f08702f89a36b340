// The two functions the web server calls. Nothing thrown inside may reach
// the server: each call is wrapped, the failure logged, the request let go on.
#include "Logger/Logger.h"
#include "core/Filter.h"
#include "core/Process.h"

#include <exception>

#define NIMBUSWATCH_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr const char* kModule = ".\\src\\core";

void logFailure(int line, const char* what) {
  try {
    nimbuswatch::logAt(nimbuswatch::kCritical, {kModule, line}, "exception: %s", what);
  } catch (...) {
  }
}

}  // namespace

NIMBUSWATCH_EXPORT BOOL WINAPI GetFilterVersion(HTTP_FILTER_VERSION* pVer) {
  try {
    return nimbuswatch::getFilterVersion(pVer);
  } catch (const std::exception& error) {
    logFailure(__LINE__, error.what());
  } catch (...) {
    logFailure(__LINE__, "unknown");
  }
  return TRUE;
}

NIMBUSWATCH_EXPORT DWORD WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD NotificationType,
                                               LPVOID pvNotification) {
  try {
    return nimbuswatch::httpFilterProc(pfc, NotificationType, pvNotification);
  } catch (const std::exception& error) {
    logFailure(__LINE__, error.what());
  } catch (...) {
    logFailure(__LINE__, "unknown");
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}
