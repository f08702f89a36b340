#include "host/config/HostConfig.h"

#include "platform/Registry.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace nimbuswatch::host {

namespace {

// One value of the filter's key, as the filter's own settings read it.
std::string configValue(const char* name) {
  char buffer[platform::kRegistryValueSize];
  std::uint32_t size = platform::kRegistryValueSize;
  return platform::readRegistryValue(name, buffer, size) == 0 ? std::string(buffer) : std::string();
}

}  // namespace

std::string useConfigFile(const std::string& file) {
  std::FILE* opened = std::fopen(file.c_str(), "rb");
  if (opened == nullptr) {
    return "cannot read --config " + file + ": " + std::strerror(errno);
  }
  std::fclose(opened);
  if (!std::filesystem::is_regular_file(file)) {
    return "cannot read --config " + file + ": not a file";
  }
  ::setenv("NIMBUSWATCH_REGISTRY", file.c_str(), 1);
  return {};
}

ImagesConfig readImagesConfig() { return {configValue("ImagesURL"), configValue("ImagesDir")}; }

}  // namespace nimbuswatch::host
