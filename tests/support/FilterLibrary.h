// The filter library as the web server loads it: the real shared library
// (nimbuswatch.dll on Windows), loaded at run time and driven through its
// two exports with the records of the in-memory server.
#pragma once

#include "platform/isapi.h"
#include "support/FakeServer.h"
#include "support/StreamTesting.h"

#include <string>

namespace nimbuswatch::test {

class LoadedFilter {
 public:
  // Copies `library` to `copyPath` and loads the copy: every copy is a
  // module of its own, with its own start-up and process-wide state. The
  // entry points are null when it does not load.
  LoadedFilter(const std::string& library, const std::string& copyPath);
  // Left loaded: the filter's process-wide objects live until the process ends.
  ~LoadedFilter() = default;
  LoadedFilter(const LoadedFilter&) = delete;
  LoadedFilter& operator=(const LoadedFilter&) = delete;

  PFN_GetFilterVersion getFilterVersion = nullptr;
  PFN_HttpFilterProc httpFilterProc = nullptr;

  DWORD notify(FakeServer& server, DWORD type, void* record) {
    return httpFilterProc(&server.context(), type, record);
  }

  // One response through the filter, as the server delivers it: the send
  // response notification, each block as raw data, the end of the request
  // (whose WriteClient bytes pass the raw data notification too). Returns
  // every byte that reaches the client.
  std::string serve(FakeServer& server, const Blocks& blocks);
};

}  // namespace nimbuswatch::test
