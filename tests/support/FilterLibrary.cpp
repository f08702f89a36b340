#include "support/FilterLibrary.h"

#include <gtest/gtest.h>

#include <filesystem>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace nimbuswatch::test {

namespace {

#if defined(_WIN32)
template <typename Function>
Function entryPoint(HMODULE module, const char* name) {
  // Through the generic function type, which any function pointer converts to.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
#endif

}  // namespace

LoadedFilter::LoadedFilter(const std::string& library, const std::string& copyPath) {
  std::filesystem::copy_file(library, copyPath);
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

std::string LoadedFilter::serve(FakeServer& server, const Blocks& blocks) {
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

}  // namespace nimbuswatch::test
