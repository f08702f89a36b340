#include "platform/Files.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

#include <cerrno>

namespace nimbuswatch::platform {

namespace {

// The error number closest to the system's error code, for callers that
// report errno.
int errnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    default:
      return EIO;
  }
}

}  // namespace

bool pathExists(const std::string& path) { return _access(path.c_str(), 0) == 0; }

bool fileOpensForReading(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    return false;
  }
  struct _stat64 status {};
  const bool isDirectory = _fstat64(_fileno(file), &status) == 0 && (status.st_mode & _S_IFDIR) != 0;
  std::fclose(file);
  return !isDirectory;
}

std::string temporarySuffix() {
  return ".tmp-" + std::to_string(_getpid()) + "-" + processToken() + "-" + std::to_string(GetCurrentThreadId());
}

// The runtime's rename refuses to replace an existing file. The system's
// refuses for a moment while another thread replaces the same file, or while
// someone reads it without sharing its deletion: such refusals are retried
// for a tenth of a second before they count.
bool replaceFile(const std::string& from, const std::string& to) {
  const ULONGLONG deadline = GetTickCount64() + 100;
  while (true) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0) {
      return true;
    }
    const DWORD error = GetLastError();
    const bool passing =
        error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
    if (!passing || GetTickCount64() >= deadline) {
      errno = errnoOf(error);
      return false;
    }
    Sleep(1);
  }
}

// Append access without write access: the system puts every write at the
// file's end, whatever the position. The file is emptied (or made) as it is
// opened, and may be read, renamed and deleted by others while it is open.
std::FILE* openEmptiedForAppend(const std::string& path) {
  const HANDLE handle = CreateFileA(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = errnoOf(GetLastError());
    return nullptr;
  }
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_APPEND | _O_BINARY);
  if (descriptor == -1) {
    CloseHandle(handle);
    errno = EMFILE;
    return nullptr;
  }
  std::FILE* file = _fdopen(descriptor, "ab");
  if (file == nullptr) {
    const int error = errno;
    _close(descriptor);
    errno = error;
  }
  return file;
}

void removeFile(const std::string& path) { std::remove(path.c_str()); }

}  // namespace nimbuswatch::platform
