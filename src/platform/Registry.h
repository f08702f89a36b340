// The filter's registry key, HKEY_LOCAL_MACHINE\SOFTWARE\Nimbuswatch.
//
// The Windows build reads the key itself:
//   RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nimbuswatch", 0, KEY_QUERY_VALUE, &key)
//   RegQueryValueExA(key, name, nullptr, nullptr, buffer, &size)
//   RegCloseKey(key)   -- whatever the query returned
// Here the key is read from a registry export file in the registry editor's
// text format, so one .reg file configures the filter on either platform.
// The file is named by the environment variable NIMBUSWATCH_REGISTRY, else
// it is "/etc/nimbuswatch/nimbuswatch.reg".
#pragma once

#include <cstdint>
#include <string>

namespace nimbuswatch::platform {

// The buffer size the settings use for one value.
inline constexpr std::uint32_t kRegistryValueSize = 1024;

// Reads the string value `name` (matched without regard to letter case) into
// `buffer`, whose size in bytes `size` gives. On success returns 0, leaves the
// text and its terminating NUL in `buffer` and sets `size` to the number of
// bytes stored, NUL included. Returns 1 on any failure: no file, a file that
// is not a registry export, no such value, a value that is not a string, or
// one that does not fit into `size` bytes with its NUL. The file is opened
// and closed on every call, as the key is.
int readRegistryValue(const char* name, char* buffer, std::uint32_t& size);

// The export file that readRegistryValue reads.
std::string registryFilePath();

}  // namespace nimbuswatch::platform
