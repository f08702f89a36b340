// Content-addressed store for element descriptions: a text is kept in the
// spool directory under the MD5 digest of its bytes, so equal elements on any
// number of pages share one file, and the image request reads it back later.
#pragma once

#include "platform/CoarseClock.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

namespace nimbuswatch {

class SpoolStorage {
 public:
  using Clock = platform::CoarseClock;

  // How long a thread trusts that a spool file it has seen is still there.
  static constexpr std::chrono::milliseconds kDefaultRecheck{1000};

  // `directory` is a prefix: file names are appended to it directly.
  // `recheck` bounds how long a thread skips the look-up for a file it saw.
  explicit SpoolStorage(std::string directory, std::chrono::milliseconds recheck = kDefaultRecheck);

  // What storing a text gives: its identifier (32 lower-case hex digits),
  // empty when it cannot be written; and until when this thread takes its
  // file as present without looking: the recheck time after it last found
  // or wrote the file, or a moment already past when nothing was stored.
  struct Stored {
    std::string identifier;
    Clock::time_point trustedUntil;
  };

  // Writes `text` under its identifier unless this thread saw the file
  // within the recheck time or finds it there. A memory of the caller's
  // kept beside the file must not outlast `trustedUntil`.
  virtual Stored storeTrusted(std::string text);

  // storeTrusted() for its identifier alone.
  std::string store(std::string text) { return storeTrusted(std::move(text)).identifier; }

  // The text stored under `identifier`, or the empty string when there is none.
  virtual std::string load(std::string identifier);

  const std::string& directoryPrefix() const { return directory; }

  // A number that no other storage made by this process carries, so that
  // what is remembered about one is never taken for another made later in
  // its place.
  std::uint64_t instance() const { return serial; }

 private:
  std::string directory;
  std::chrono::milliseconds recheck;
  std::uint64_t serial;
};

}  // namespace nimbuswatch
