#include "TextEngine/FontFaces.h"

#include "platform/Files.h"

#include FT_SIZES_H

#include <algorithm>
#include <list>
#include <string_view>
#include <utility>
#include <vector>

namespace nimbuswatch::textengine::detail {

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

  struct Size {
    FT_F26Dot6 height;
    FT_UInt dpi;
    FT_Size size;
  };

  FT_Face face;
  // Held by the lease; guards the face and its sizes.
  std::mutex inUse;
  // Most recently used first; closed with the face.
  std::vector<Size> sizes;
  GlyphCache glyphs;
};

namespace {

// The first name of the ";" separated list that opens as a file; empty
// names (two separators in a row) are skipped.
std::string firstReadableFont(std::string_view fontlist) {
  while (!fontlist.empty()) {
    const std::size_t end = std::min(fontlist.find(';'), fontlist.size());
    const std::string name(fontlist.substr(0, end));
    if (!name.empty() && platform::fileOpensForReading(name)) {
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

GlyphCache& FaceLease::glyphs() { return shared->glyphs; }

FT_Size FaceLease::activeSize(FT_F26Dot6 height, FT_UInt dpi) {
  std::vector<SharedFace::Size>& sizes = shared->sizes;
  const auto kept = std::find_if(sizes.begin(), sizes.end(), [&](const SharedFace::Size& size) {
    return size.height == height && size.dpi == dpi;
  });
  if (kept != sizes.end()) {
    std::rotate(sizes.begin(), kept, kept + 1);
    FT_Activate_Size(sizes.front().size);
    return sizes.front().size;
  }
  FT_Size size = nullptr;
  if (FT_New_Size(shared->face, &size) != 0) {
    return nullptr;
  }
  FT_Activate_Size(size);
  if (FT_Set_Char_Size(shared->face, 0, height, dpi, dpi) != 0) {
    FT_Done_Size(size);
    return nullptr;
  }
  if (sizes.size() == kSizesPerFace) {
    FT_Done_Size(sizes.back().size);
    sizes.pop_back();
  }
  sizes.insert(sizes.begin(), SharedFace::Size{height, dpi, size});
  return size;
}

FaceLease leaseFace(const std::string& fontlist) {
  const char* error = nullptr;
  std::shared_ptr<SharedFace> face = FaceCache::instance().find(fontlist, error);
  return FaceLease(std::move(face), error);
}

}  // namespace nimbuswatch::textengine::detail
