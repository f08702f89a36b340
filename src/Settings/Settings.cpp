#include "Settings/Settings.h"

#include "Settings/Trace.h"
#include "platform/Registry.h"

#include <cstring>

namespace nimbuswatch {

namespace {

constexpr const char* kValueNames[] = {"LogFile",   "ImagesDir",       "FontsDir",       "SpoolDir",
                                       "ImagesURL", "DefaultFontFace", "DefaultFontSize", "LogLevel"};

}  // namespace

Settings::Settings() {
  traceLine("Start");
  for (const char* name : kValueNames) {
    readValue(name);
  }
  fonts = buildCatalogue(get("FontsDir"));
}

void Settings::readValue(const char* name) {
  char buffer[platform::kRegistryValueSize];
  std::uint32_t size = platform::kRegistryValueSize;
  if (platform::readRegistryValue(name, buffer, size) != 0) {
    return;
  }
  // The text ends at its first NUL, and never beyond the bytes returned: the
  // data need not carry a NUL of its own.
  const std::size_t returned = size < sizeof buffer ? size : sizeof buffer;
  const void* nul = std::memchr(buffer, '\0', returned);
  values[name] = std::string(buffer, nul != nullptr ? static_cast<const char*>(nul) - buffer : returned);
}

const char* Settings::get(std::string name) const {
  const auto found = values.find(name);
  return found != values.end() ? found->second.c_str() : "";
}

std::string Settings::findFace(const std::string& family, int& bold, int& italic) const {
  return nimbuswatch::findFace(fonts, family, bold, italic);
}

}  // namespace nimbuswatch
