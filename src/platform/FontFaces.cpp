#include "platform/FontFaces.h"

#include "platform/Files.h"

#include <algorithm>
#include <list>
#include <string_view>
#include <utility>

namespace nimbuswatch::platform::detail {

namespace {

// FreeType lets threads share a library as long as faces are opened and
// closed one at a time; everything else works on a face, and a face is only
// ever used by the thread that holds its lease.
std::mutex& faceLifecycleMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

struct SharedFace {
  explicit SharedFace(FT_Face opened) : face(opened) {}
  SharedFace(const SharedFace&) = delete;
  SharedFace& operator=(const SharedFace&) = delete;
  ~SharedFace() {
    const std::lock_guard<std::mutex> guard(faceLifecycleMutex());
    FT_Done_Face(face);
  }

  FT_Face face;
  std::mutex inUse;
};

namespace {

// The first name of the ";" separated list that opens as a file; empty
// names (two separators in a row) are skipped.
std::string firstReadableFont(std::string_view fontlist) {
  while (!fontlist.empty()) {
    const std::size_t end = std::min(fontlist.find(';'), fontlist.size());
    const std::string name(fontlist.substr(0, end));
    if (!name.empty() && fileOpensForReading(name)) {
      return name;
    }
    fontlist.remove_prefix(std::min(end + 1, fontlist.size()));
  }
  return {};
}

class FaceCache {
 public:
  static FaceCache& instance() {
    // Never destroyed: threads may still draw while the process ends.
    static FaceCache* cache = new FaceCache();
    return *cache;
  }

  std::shared_ptr<SharedFace> find(const std::string& fontlist, const char*& error) {
    const std::lock_guard<std::mutex> guard(entriesMutex);
    for (auto entry = entries.begin(); entry != entries.end(); ++entry) {
      if (entry->first == fontlist) {
        entries.splice(entries.begin(), entries, entry);
        return entries.front().second;
      }
    }
    std::shared_ptr<SharedFace> opened = open(fontlist, error);
    if (opened) {
      entries.emplace_front(fontlist, opened);
      if (entries.size() > kOpenFaces) {
        // The face closes now, or when its last lease ends.
        entries.pop_back();
      }
    }
    return opened;
  }

 private:
  FaceCache() {
    if (FT_Init_FreeType(&library) != 0) {
      library = nullptr;
    }
  }

  std::shared_ptr<SharedFace> open(const std::string& fontlist, const char*& error) {
    if (library == nullptr) {
      error = "Failure to initialize font library";
      return nullptr;
    }
    const std::string path = firstReadableFont(fontlist);
    if (path.empty()) {
      error = "Could not find/open font";
      return nullptr;
    }
    FT_Face face = nullptr;
    {
      const std::lock_guard<std::mutex> guard(faceLifecycleMutex());
      if (FT_New_Face(library, path.c_str(), 0, &face) != 0) {
        error = "Could not read font";
        return nullptr;
      }
    }
    return std::make_shared<SharedFace>(face);
  }

  FT_Library library = nullptr;
  std::mutex entriesMutex;
  // Most recently used first.
  std::list<std::pair<std::string, std::shared_ptr<SharedFace>>> entries;
};

}  // namespace

FaceLease::FaceLease(std::shared_ptr<SharedFace> face, const char* error)
    : shared(std::move(face)), failure(error) {
  if (shared) {
    lock = std::unique_lock<std::mutex>(shared->inUse);
  }
}

FaceLease::~FaceLease() = default;

FT_Face FaceLease::face() const { return shared ? shared->face : nullptr; }

FaceLease leaseFace(const std::string& fontlist) {
  const char* error = nullptr;
  std::shared_ptr<SharedFace> face = FaceCache::instance().find(fontlist, error);
  return FaceLease(std::move(face), error);
}

}  // namespace nimbuswatch::platform::detail
