#include "support/RegistryKey.h"

#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>
#else
#include "platform/Registry.h"
#endif

namespace nimbuswatch::test {

#if defined(_WIN32)

namespace {

constexpr const char* kKeyPath = "SOFTWARE\\Nimbuswatch";

void deleteKey() {
  const LONG result = RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKeyPath);
  if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
    throw std::runtime_error("cannot delete the registry key: error " + std::to_string(result));
  }
}

}  // namespace

ScopedRegistryKey::ScopedRegistryKey() { deleteKey(); }

ScopedRegistryKey::~ScopedRegistryKey() {
  try {
    deleteKey();
  } catch (const std::exception&) {
  }
}

void ScopedRegistryKey::write(const Values& values) {
  deleteKey();
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    throw std::runtime_error("cannot create the registry key");
  }
  LONG result = ERROR_SUCCESS;
  for (const auto& [name, value] : values) {
    if (result == ERROR_SUCCESS) {
      result = RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>(value.size() + 1));
    }
  }
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) {
    throw std::runtime_error("cannot set a registry value: error " + std::to_string(result));
  }
}

#else

ScopedRegistryKey::ScopedRegistryKey() = default;

ScopedRegistryKey::~ScopedRegistryKey() = default;

void ScopedRegistryKey::write(const Values& values) {
  writeFile(dir.file("nimbuswatch.reg"), platform::registryExport(values));
}

#endif

}  // namespace nimbuswatch::test
