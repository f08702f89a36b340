// The filter's registry key, HKEY_LOCAL_MACHINE\SOFTWARE\Nimbuswatch.
//
// The Windows build reads the key itself:
//   RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nimbuswatch", 0, KEY_QUERY_VALUE, &key)
//   RegQueryValueExA(key, name, nullptr, &type, buffer, &size)   -- string types only
//   RegCloseKey(key)   -- whatever the query returned
// Elsewhere the key is read from a registry export file in the registry
// editor's text format, so one .reg file configures the filter on either
// platform. The file is named by the environment variable
// NIMBUSWATCH_REGISTRY, else it is "/etc/nimbuswatch/nimbuswatch.reg".
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace nimbuswatch::platform {

// The buffer size the settings use for one value.
inline constexpr std::uint32_t kRegistryValueSize = 1024;

// Reads the string value `name` (matched without regard to letter case) into
// `buffer`, whose size in bytes `size` gives. On success returns 0, leaves the
// text and its terminating NUL in `buffer` and sets `size` to the number of
// bytes stored, NUL included. Returns 1 on any failure: no key (or no file,
// or a file that is not a registry export), no such value, a value that is
// not a string, or one that does not fit into `size` bytes with its NUL. The
// key (or file) is opened and closed on every call.
int readRegistryValue(const char* name, char* buffer, std::uint32_t& size);

#if !defined(_WIN32)
// The export file that readRegistryValue reads.
std::string registryFilePath();

// The text of a registry export holding the key with these string values,
// in the registry editor's format (CR LF line ends; backslashes and quotes
// escaped), as readRegistryValue reads it.
std::string registryExport(const std::vector<std::pair<std::string, std::string>>& values);
#endif

}  // namespace nimbuswatch::platform
