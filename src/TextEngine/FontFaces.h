// FreeType faces for the styled text call: one FreeType library of our own,
// separate from the drawing library's, and the few faces used last kept open
// by font list, each with the few character sizes used last and the glyphs
// loaded from it. A face is handed to one caller at a time.
#pragma once

#include "TextEngine/GlyphCache.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <memory>
#include <mutex>
#include <string>

namespace nimbuswatch::textengine::detail {

struct SharedFace;

// The use of one face by one caller: while the lease lives, no other thread
// gets the same face. An empty lease carries the reason in `error()`.
class FaceLease {
 public:
  FaceLease() = default;
  FaceLease(std::shared_ptr<SharedFace> face, const char* error);
  FaceLease(FaceLease&&) noexcept = default;
  FaceLease& operator=(FaceLease&&) = delete;
  ~FaceLease();

  explicit operator bool() const { return shared != nullptr; }
  FT_Face face() const;
  const char* error() const { return failure; }

  // The face's size for a character height (26.6 points) at a resolution,
  // made active; null when FreeType refuses it. A size is set up once (the
  // font's size program runs once) and kept for later calls; glyph programs
  // cannot change it, so a kept size hints exactly as a new one.
  FT_Size activeSize(FT_F26Dot6 height, FT_UInt dpi);

  // The glyphs loaded from the face so far.
  GlyphCache& glyphs();

 private:
  // Declared in this order so that the lock is released before the face
  // may be closed.
  std::shared_ptr<SharedFace> shared;
  std::unique_lock<std::mutex> lock;
  const char* failure = nullptr;
};

// The face for `fontlist`: a list of font file paths separated by ";", the
// first one that opens as a file being used. Names are taken as paths as
// they stand; no font directory is searched. The error texts are those of
// the drawing library: "Could not find/open font", "Could not read font",
// "Failure to initialize font library".
FaceLease leaseFace(const std::string& fontlist);

// How many faces stay open at most, and how many sizes each keeps.
inline constexpr std::size_t kOpenFaces = 8;
inline constexpr std::size_t kSizesPerFace = 8;

}  // namespace nimbuswatch::textengine::detail
