// Helpers for the small ISAPI filters the host tests load: each is a shared
// library exporting GetFilterVersion and HttpFilterProc, written against the
// same records a real filter uses.
#pragma once

#include "platform/isapi.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#define TEST_FILTER_EXPORT extern "C" __attribute__((visibility("default")))

namespace testfilter {

inline constexpr DWORD kAllNotifications = SF_NOTIFY_NONSECURE_PORT | SF_NOTIFY_URL_MAP | SF_NOTIFY_SEND_RESPONSE |
                                           SF_NOTIFY_SEND_RAW_DATA | SF_NOTIFY_END_OF_REQUEST |
                                           SF_NOTIFY_END_OF_NET_SESSION;

// Fills the version record: description `name`, flags from TESTFILTER_FLAGS
// (hexadecimal) when set, else `flags`.
inline BOOL announce(HTTP_FILTER_VERSION* version, const char* name, DWORD flags) {
  version->dwFilterVersion = 0x00040000;
  std::snprintf(version->lpszFilterDesc, SF_MAX_FILTER_DESC_LEN, "%s", name);
  const char* override = std::getenv("TESTFILTER_FLAGS");
  version->dwFlags = override != nullptr ? static_cast<DWORD>(std::strtoul(override, nullptr, 16)) : flags;
  return TRUE;
}

// Appends one line to the file TESTFILTER_LOG names, if any; lines from
// concurrent connections do not mix.
inline void logLine(const std::string& line) {
  static std::mutex lock;
  const char* path = std::getenv("TESTFILTER_LOG");
  if (path == nullptr) {
    return;
  }
  const std::lock_guard<std::mutex> guard(lock);
  if (std::FILE* file = std::fopen(path, "ab")) {
    std::fprintf(file, "%s\n", line.c_str());
    std::fclose(file);
  }
}

// A server variable, or "<missing>".
inline std::string serverVariable(HTTP_FILTER_CONTEXT* pfc, const char* name) {
  char buffer[1024];
  DWORD size = sizeof buffer;
  return pfc->GetServerVariable(pfc, const_cast<char*>(name), buffer, &size) ? std::string(buffer) : "<missing>";
}

// A response header through GetHeader, asking for the size first as a
// filter must; "<absent>" when the size query leaves the size at 0.
inline std::string responseHeader(HTTP_FILTER_SEND_RESPONSE* record, HTTP_FILTER_CONTEXT* pfc, const char* name) {
  DWORD size = 0;
  record->GetHeader(pfc, const_cast<char*>(name), nullptr, &size);
  if (size == 0) {
    return "<absent>";
  }
  std::string value(size, '\0');
  if (!record->GetHeader(pfc, const_cast<char*>(name), value.data(), &size)) {
    return "<failed>";
  }
  value.resize(size - 1);
  return value;
}

}  // namespace testfilter
