#include "server/LoadedFilter.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdio>
#include <cstring>

namespace nimbuswatch::server {

namespace {

// The library's two exports, or null.
struct Exports {
  void* getVersion = nullptr;
  void* proc = nullptr;
};

#if defined(_WIN32)
bool openLibrary(const std::string& path, Exports& exports, std::string& error) {
  HMODULE library = ::LoadLibraryA(path.c_str());
  if (library == nullptr) {
    error = "cannot load filter " + path + ": error " + std::to_string(::GetLastError());
    return false;
  }
  exports.getVersion = reinterpret_cast<void*>(::GetProcAddress(library, "GetFilterVersion"));
  exports.proc = reinterpret_cast<void*>(::GetProcAddress(library, "HttpFilterProc"));
  return true;
}
#else
bool openLibrary(const std::string& path, Exports& exports, std::string& error) {
  void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    error = "cannot load filter " + path + ": " + ::dlerror();
    return false;
  }
  exports.getVersion = ::dlsym(library, "GetFilterVersion");
  exports.proc = ::dlsym(library, "HttpFilterProc");
  return true;
}
#endif

}  // namespace

LoadedFilter::LoadedFilter(PFN_HttpFilterProc proc, DWORD flags, std::string description, DWORD version)
    : proc(proc), registered(flags), text(std::move(description)), announced(version) {}

bool LoadedFilter::wants(DWORD notification) const {
  const DWORD ports = registered & (SF_NOTIFY_SECURE_PORT | SF_NOTIFY_NONSECURE_PORT);
  const bool nonSecure = ports == 0 || (ports & SF_NOTIFY_NONSECURE_PORT) != 0;
  return nonSecure && (registered & notification) != 0;
}

DWORD LoadedFilter::notify(HTTP_FILTER_CONTEXT* context, DWORD notification, void* record) const {
  try {
    return proc(context, notification, record);
  } catch (...) {
    std::fprintf(stderr, "nimbuswatch: the filter let an exception escape notification 0x%x\n",
                 static_cast<unsigned>(notification));
    return SF_STATUS_REQ_ERROR;
  }
}

std::optional<LoadedFilter> startFilter(PFN_GetFilterVersion getVersion, PFN_HttpFilterProc proc,
                                        std::string& error) {
  HTTP_FILTER_VERSION version{};
  version.dwServerFilterVersion = HTTP_FILTER_REVISION;
  if (getVersion(&version) == FALSE) {
    error = "the filter's GetFilterVersion refused to start";
    return std::nullopt;
  }
  version.lpszFilterDesc[SF_MAX_FILTER_DESC_LEN - 1] = '\0';
  return LoadedFilter(proc, version.dwFlags, version.lpszFilterDesc, version.dwFilterVersion);
}

std::optional<LoadedFilter> loadFilter(const std::string& path, std::string& error) {
  Exports exports;
  if (!openLibrary(path, exports, error)) {
    return std::nullopt;
  }
  if (exports.getVersion == nullptr || exports.proc == nullptr) {
    error = "filter " + path + " does not export GetFilterVersion and HttpFilterProc";
    return std::nullopt;
  }
  return startFilter(reinterpret_cast<PFN_GetFilterVersion>(exports.getVersion),
                     reinterpret_cast<PFN_HttpFilterProc>(exports.proc), error);
}

}  // namespace nimbuswatch::server
