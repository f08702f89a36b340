#include "platform/Files.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace nimbuswatch::platform {

bool pathExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// Asked of the file system without opening the file: two calls instead of
// the three of opening, examining and closing it.
bool fileOpensForReading(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || S_ISDIR(status.st_mode)) {
    return false;
  }
  // A file that owner, group and others may all read is readable without
  // asking the kernel a second time (an access list denying this process
  // such a file is not looked for); any other file is asked about with the
  // process's own rights.
  constexpr mode_t kReadableByAll = S_IRUSR | S_IRGRP | S_IROTH;
  return (status.st_mode & kReadableByAll) == kReadableByAll ||
         ::faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) == 0;
}

namespace {

thread_local std::string threadSuffix;

// The one thread of a child made by fork must not keep its parent's suffix.
void forgetSuffixInChild() { threadSuffix.clear(); }

}  // namespace

// Made once per thread: asking for the process and thread identifiers costs
// two calls into the kernel.
std::string temporarySuffix() {
  static const bool registered = ::pthread_atfork(nullptr, nullptr, forgetSuffixInChild) == 0;
  (void)registered;
  if (threadSuffix.empty()) {
    threadSuffix = ".tmp-" + std::to_string(::getpid()) + "-" + processToken() + "-" + std::to_string(::gettid());
  }
  return threadSuffix;
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
