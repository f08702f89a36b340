// Rewrites every body byte into a buffer of its own: ASCII letters change
// case, everything else (and the whole header section, found across blocks)
// stays. The length never changes, so the response's framing still holds.
#include "TestFilter.h"

namespace {

struct Progress {
  int matched;  // how much of "\r\n\r\n" was seen last
  bool inBody;
};

Progress& progress(HTTP_FILTER_CONTEXT* pfc) {
  if (pfc->pFilterContext == nullptr) {
    pfc->pFilterContext = pfc->AllocMem(pfc, sizeof(Progress), 0);
    *static_cast<Progress*>(pfc->pFilterContext) = {0, false};
  }
  return *static_cast<Progress*>(pfc->pFilterContext);
}

char swapped(char c) {
  if (c >= 'a' && c <= 'z') {
    return static_cast<char>(c - 'a' + 'A');
  }
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

void rewrite(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* raw) {
  Progress& state = progress(pfc);
  const char* in = static_cast<const char*>(raw->pvInData);
  char* out = static_cast<char*>(pfc->AllocMem(pfc, raw->cbInData, 0));
  for (DWORD i = 0; i < raw->cbInData; ++i) {
    out[i] = state.inBody ? swapped(in[i]) : in[i];
    if (!state.inBody) {
      const char expected = "\r\n\r\n"[state.matched];
      state.matched = in[i] == expected ? state.matched + 1 : (in[i] == '\r' ? 1 : 0);
      state.inBody = state.matched == 4;
    }
  }
  raw->pvInData = out;
  raw->cbInBuffer = raw->cbInData;
}

}  // namespace

TEST_FILTER_EXPORT BOOL WINAPI GetFilterVersion(HTTP_FILTER_VERSION* version) {
  return testfilter::announce(version, "swap-case test filter",
                              SF_NOTIFY_NONSECURE_PORT | SF_NOTIFY_SEND_RESPONSE | SF_NOTIFY_SEND_RAW_DATA);
}

TEST_FILTER_EXPORT DWORD WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD notification, LPVOID data) {
  if (notification == SF_NOTIFY_SEND_RESPONSE) {
    progress(pfc) = {0, false};
  } else if (notification == SF_NOTIFY_SEND_RAW_DATA) {
    rewrite(pfc, static_cast<HTTP_FILTER_RAW_DATA*>(data));
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}
