#include "host/Filter.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>

namespace nimbuswatch::host {

Filter::Filter(PFN_HttpFilterProc proc, DWORD flags, std::string description)
    : proc(proc), registered(flags), text(std::move(description)) {}

bool Filter::wants(DWORD notification) const {
  const DWORD ports = registered & (SF_NOTIFY_SECURE_PORT | SF_NOTIFY_NONSECURE_PORT);
  const bool nonSecure = ports == 0 || (ports & SF_NOTIFY_NONSECURE_PORT) != 0;
  return nonSecure && (registered & notification) != 0;
}

DWORD Filter::notify(HTTP_FILTER_CONTEXT* context, DWORD notification, void* record) const {
  try {
    return proc(context, notification, record);
  } catch (...) {
    std::fprintf(stderr, "nimbuswatch-host: the filter let an exception escape notification 0x%x\n",
                 notification);
    return SF_STATUS_REQ_ERROR;
  }
}

std::optional<Filter> startFilter(PFN_GetFilterVersion getVersion, PFN_HttpFilterProc proc,
                                  std::string& error) {
  HTTP_FILTER_VERSION version{};
  version.dwServerFilterVersion = HTTP_FILTER_REVISION;
  if (getVersion(&version) == FALSE) {
    error = "the filter's GetFilterVersion refused to start";
    return std::nullopt;
  }
  version.lpszFilterDesc[SF_MAX_FILTER_DESC_LEN - 1] = '\0';
  return Filter(proc, version.dwFlags, version.lpszFilterDesc);
}

std::optional<Filter> loadFilter(const std::string& path, std::string& error) {
  void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    error = "cannot load filter " + path + ": " + ::dlerror();
    return std::nullopt;
  }
  void* getVersion = ::dlsym(library, "GetFilterVersion");
  void* proc = ::dlsym(library, "HttpFilterProc");
  if (getVersion == nullptr || proc == nullptr) {
    error = "filter " + path + " does not export GetFilterVersion and HttpFilterProc";
    return std::nullopt;
  }
  return startFilter(reinterpret_cast<PFN_GetFilterVersion>(getVersion),
                     reinterpret_cast<PFN_HttpFilterProc>(proc), error);
}

}  // namespace nimbuswatch::host
