// A filter as the server holds it: its entry point and what it asked for
// when the server called GetFilterVersion.
#pragma once

#include "platform/isapi.h"

#include <optional>
#include <string>

namespace nimbuswatch::server {

class LoadedFilter {
 public:
  LoadedFilter(PFN_HttpFilterProc proc, DWORD flags, std::string description, DWORD version = 0);

  // True when the filter registered for `notification` and for connections
  // on a non-secure port, the only kind served here. A filter that names
  // neither port kind gets both, as on the Windows server.
  bool wants(DWORD notification) const;

  // Calls HttpFilterProc. An exception that escapes the filter is caught
  // and answered like SF_STATUS_REQ_ERROR.
  DWORD notify(HTTP_FILTER_CONTEXT* context, DWORD notification, void* record) const;

  DWORD flags() const { return registered; }
  const std::string& description() const { return text; }
  // The interface version the filter announced.
  DWORD version() const { return announced; }

 private:
  PFN_HttpFilterProc proc;
  DWORD registered;
  std::string text;
  DWORD announced;
};

// Calls `getVersion` as the server does at load time and keeps `proc`.
// Nothing, with `error` set, when GetFilterVersion answers FALSE.
std::optional<LoadedFilter> startFilter(PFN_GetFilterVersion getVersion, PFN_HttpFilterProc proc,
                                        std::string& error);

// Loads the library at `path` with the platform's loader (never unloaded: a
// filter's process-wide objects live until the process ends), finds its two
// exports and starts it.
std::optional<LoadedFilter> loadFilter(const std::string& path, std::string& error);

}  // namespace nimbuswatch::server
