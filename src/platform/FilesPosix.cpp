#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

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
  return ".tmp-" + std::to_string(::getpid()) + "-" + processToken() + "-" + std::to_string(::gettid());
}

bool replaceFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

std::FILE* openEmptiedForAppend(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, "ab");
  if (file == nullptr) {
    ::close(fd);
  }
  return file;
}

void removeFile(const std::string& path) { std::remove(path.c_str()); }

}  // namespace nimbuswatch::platform
