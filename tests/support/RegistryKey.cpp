#include "support/RegistryKey.h"

#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>
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

namespace {

// A string in the export's quotes, with backslashes and quotes escaped.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '\\' || c == '"') {
      out += '\\';
    }
    out += c;
  }
  return out + "\"";
}

}  // namespace

ScopedRegistryKey::ScopedRegistryKey() = default;

ScopedRegistryKey::~ScopedRegistryKey() = default;

void ScopedRegistryKey::write(const Values& values) {
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Nimbuswatch]\r\n";
  for (const auto& [name, value] : values) {
    text += quoted(name) + "=" + quoted(value) + "\r\n";
  }
  writeFile(dir.file("nimbuswatch.reg"), text);
}

#endif

}  // namespace nimbuswatch::test
