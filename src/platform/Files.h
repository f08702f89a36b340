// File-system calls the filter needs beyond the C streams: POSIX calls on
// Linux; _access, MoveFileExA, CreateFileA and the process and thread ids on
// Windows.
#pragma once

#include "platform/Ascii.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>

namespace nimbuswatch::platform {

// True when `name`, which comes from a request or a page, names a file right
// inside the directory it is appended to: it holds no "/", "\", ":" or
// control byte and is not "." or "..".
inline bool isPlainFileName(std::string_view name) {
  if (name == "." || name == "..") {
    return false;
  }
  return std::none_of(name.begin(), name.end(), [](char byte) {
    return byte == '/' || byte == '\\' || byte == ':' || ascii::isControl(byte);
  });
}

// True when something exists at `path` (a file or a directory).
bool pathExists(const std::string& path);

// True when `path` names a file this process may open for reading; a
// directory does not count.
bool fileOpensForReading(const std::string& path);

// A number drawn once per process, in 16 hexadecimal digits, for temporary
// names: processes on other machines sharing a directory (or in containers,
// where ids repeat) may have the same process and thread ids.
inline const std::string& processToken() {
  static const std::string token = [] {
    unsigned long long number = 0;
    try {
      std::random_device device;
      number = static_cast<unsigned long long>(device()) << 32 | device();
    } catch (...) {
      number = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", number);
    return std::string(text);
  }();
  return token;
}

// A suffix for a temporary file name that no other thread or process uses
// at the same time: the process (its id and a number drawn at random, as
// other machines may share the directory) and the calling thread.
std::string temporarySuffix();

// Moves `from` over `to` in one step, replacing a file already there, so a
// reader sees either the old file or the whole new one. False on failure,
// with errno set.
bool replaceFile(const std::string& from, const std::string& to);

// Opens `path` for writing, emptied, with append semantics from then on:
// every write lands at the file's current end, so a copy-and-truncate
// rotation leaves no hole and lines of several processes never overlap.
// Null on failure, with errno set.
std::FILE* openEmptiedForAppend(const std::string& path);

// Removes a file, ignoring failure.
void removeFile(const std::string& path);

// Writes `bytes` whole to a temporary name beside `path` (see
// temporarySuffix) and renames it over `path`, so a concurrent reader sees
// either no file or the whole file, never part of one. False on failure,
// with errno set; the temporary file is gone then.
inline bool writeFileWhole(const std::string& path, std::string_view bytes) {
  const std::string temporary = path + temporarySuffix();
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) {
    return false;
  }
  // The bytes go out in one write, without a stream buffer of their own.
  std::setvbuf(file, nullptr, _IONBF, 0);
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  int error = ok ? 0 : errno;
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && !replaceFile(temporary, path)) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    removeFile(temporary);
    errno = error;
  }
  return ok;
}

}  // namespace nimbuswatch::platform
