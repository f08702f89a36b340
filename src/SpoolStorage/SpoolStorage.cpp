#include "SpoolStorage/SpoolStorage.h"

#include "Logger/Logger.h"
#include "platform/Digest.h"
#include "platform/ErrorText.h"
#include "platform/Files.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>

namespace nimbuswatch {

namespace {

constexpr const char* kModule = ".\\src\\SpoolStorage";
// The place a failed write names in its log line.
constexpr CodePlace kWritingSpoolFile{kModule, 27};

void logWriteFailure(int error) {
  logAt(kWarning, kWritingSpoolFile, "writing spool file: %s", platform::errorText(error).c_str());
}

// Written whole under a temporary name and renamed into place, so a
// concurrent reader never sees a partly written file.
bool writeWhole(const std::string& path, const std::string& text) {
  if (platform::writeFileWhole(path, text)) {
    return true;
  }
  logWriteFailure(errno);
  return false;
}

// The spool files each thread has seen lately, so that a page repeating an
// element does not pay a file-system look-up for every copy. Spool files are
// named by their content and never rewritten, so a file seen a moment ago
// still holds the same bytes; the entries expire after the storage's recheck
// time, which bounds how long a file removed by hand goes unnoticed. Each
// thread has its own table: nothing is shared, nothing is locked. Times come
// from the coarse clock, as the table is consulted for every element.
struct SeenFile {
  std::string path;
  SpoolStorage::Clock::time_point when;
};
constexpr std::size_t kSeenSlots = 64;

SeenFile& seenSlot(const std::string& identifier) {
  thread_local std::array<SeenFile, kSeenSlots> seen;
  // Identifiers are hex digests: their last two digits spread evenly.
  const auto hash = static_cast<std::size_t>(identifier[30]) * 31 + static_cast<std::size_t>(identifier[31]);
  return seen[hash % kSeenSlots];
}

}  // namespace

namespace {

std::uint64_t nextInstance() {
  static std::atomic<std::uint64_t> made{0};
  return ++made;
}

}  // namespace

SpoolStorage::SpoolStorage(std::string directory, std::chrono::milliseconds recheck)
    : directory(std::move(directory)), recheck(recheck), serial(nextInstance()) {}

// Whether this thread's slot for `identifier` holds its file in this directory.
bool SpoolStorage::remembers(const std::string& identifier) const {
  const SeenFile& slot = seenSlot(identifier);
  return slot.path.size() == directory.size() + identifier.size() &&
         slot.path.compare(directory.size(), std::string::npos, identifier) == 0 &&
         slot.path.compare(0, directory.size(), directory) == 0;
}

bool SpoolStorage::seenRecently(const std::string& identifier) const {
  return remembers(identifier) && Clock::now() - seenSlot(identifier).when < recheck;
}

SpoolStorage::Clock::time_point SpoolStorage::trustedUntil(const std::string& identifier) const {
  if (identifier.size() != 32 || !remembers(identifier)) {
    return Clock::time_point::min();
  }
  return seenSlot(identifier).when + recheck;
}

void SpoolStorage::remember(const std::string& identifier) const {
  SeenFile& slot = seenSlot(identifier);
  slot.path = directory + identifier;
  slot.when = Clock::now();
}

std::string SpoolStorage::store(std::string text) {
  std::string identifier = platform::md5Hex(text);
  if (seenRecently(identifier)) {
    return identifier;
  }
  const std::string path = directory + identifier;
  // The name is the digest of the content: a file already there holds these
  // very bytes (renames never leave a partial file under the final name).
  if (platform::pathExists(path) || writeWhole(path, text)) {
    remember(identifier);
    return identifier;
  }
  return {};
}

std::string SpoolStorage::load(std::string identifier) {
  if (!platform::isPlainFileName(identifier)) {
    logAt(kWarning, {kModule, __LINE__}, "refusing spool identifier [%s]", identifier.c_str());
    return {};
  }
  const std::string path = directory + identifier;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    return {};
  }
  // Read straight into the buffer below, without a stream buffer.
  std::setvbuf(file, nullptr, _IONBF, 0);
  std::string text;
  char buffer[8192];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    text.append(buffer, got);
  }
  std::fclose(file);
  return text;
}

}  // namespace nimbuswatch
