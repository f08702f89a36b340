// Content-addressed store for element descriptions: a text is kept in the
// spool directory under the MD5 digest of its bytes, so equal elements on any
// number of pages share one file, and the image request reads it back later.
#pragma once

#include "platform/CoarseClock.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace nimbuswatch {

class SpoolStorage {
 public:
  using Clock = platform::CoarseClock;

  // How long a thread trusts that a spool file it has seen is still there.
  static constexpr std::chrono::milliseconds kDefaultRecheck{1000};

  // `directory` is a prefix: file names are appended to it directly.
  // `recheck` bounds how long a thread skips the look-up for a file it saw.
  explicit SpoolStorage(std::string directory, std::chrono::milliseconds recheck = kDefaultRecheck);

  // Writes `text` under its identifier and returns the identifier (32
  // lower-case hex digits), or the empty string when it cannot be written.
  virtual std::string store(std::string text);

  // The text stored under `identifier`, or the empty string when there is none.
  virtual std::string load(std::string identifier);

  const std::string& directoryPrefix() const { return directory; }

  // A number that no other storage made by this process carries, so that
  // what is remembered about one is never taken for another made later in
  // its place.
  std::uint64_t instance() const { return serial; }

  // Until when this thread takes the file of `identifier` as present
  // without looking, as store() does: the recheck time after it last found
  // or wrote the file; a moment already past when it has no such memory.
  Clock::time_point trustedUntil(const std::string& identifier) const;

 private:
  bool remembers(const std::string& identifier) const;
  bool seenRecently(const std::string& identifier) const;
  void remember(const std::string& identifier) const;

  std::string directory;
  std::chrono::milliseconds recheck;
  std::uint64_t serial;
};

}  // namespace nimbuswatch
