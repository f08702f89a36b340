#include "platform/Files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace nimbuswatch::platform {

bool pathExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

bool fileOpensForReading(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    return false;
  }
  struct stat status {};
  const bool isDirectory = ::fstat(::fileno(file), &status) == 0 && S_ISDIR(status.st_mode);
  std::fclose(file);
  return !isDirectory;
}

std::string temporarySuffix() {
  return ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(::gettid());
}

bool replaceFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

void removeFile(const std::string& path) { std::remove(path.c_str()); }

}  // namespace nimbuswatch::platform
