#include "platform/Registry.h"

#include <windows.h>

namespace nimbuswatch::platform {

namespace {

constexpr const char* kKeyPath = "SOFTWARE\\Nimbuswatch";

}  // namespace


int readRegistryValue(const char* name, char* buffer, std::uint32_t& size) {
  if (name == nullptr || buffer == nullptr || size == 0) {
    return 1;
  }
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return 1;
  }
  DWORD type = 0;
  DWORD stored = size;
  const LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &stored);
  RegCloseKey(key);
  // A value too long for the buffer fails (ERROR_MORE_DATA). Only plain
  // string values count, as in a registry export; one stored without its NUL
  // gets it here, if there is room.
  if (result != ERROR_SUCCESS || type != REG_SZ) {
    return 1;
  }
  if (stored == 0 || buffer[stored - 1] != '\0') {
    if (stored >= size) {
      return 1;
    }
    buffer[stored++] = '\0';
  }
  size = stored;
  return 0;
}

}  // namespace nimbuswatch::platform
