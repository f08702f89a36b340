// The glyphs the styled text call has loaded, kept with their face: what the
// layout needs of a glyph at the metric size, and its outline box and bitmap
// at the picture size. Loading a glyph runs its hinting program and
// rendering it runs the rasteriser; both give the same result every time for
// the same face, size, load flags and style, so a glyph that a picture has
// loaded once serves every later picture. Guarded by the face's lease.
#pragma once

#include <ft2build.h>
#include FT_FREETYPE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

namespace nimbuswatch::textengine::detail {

// One glyph as loaded: the character size and resolution, the load flags,
// the synthetic style and the glyph index.
struct GlyphKey {
  FT_F26Dot6 height;
  FT_UInt dpi;
  FT_Int32 flags;
  bool bold;
  bool italic;
  FT_UInt index;

  bool operator==(const GlyphKey&) const = default;
};

struct GlyphKeyHash {
  std::size_t operator()(const GlyphKey& key) const {
    std::size_t hash = std::hash<FT_F26Dot6>{}(key.height);
    for (const std::size_t part :
         {std::size_t{key.dpi}, static_cast<std::size_t>(key.flags), std::size_t{key.bold} * 2 + key.italic,
          std::size_t{key.index}}) {
      hash = hash * 1000003 ^ part;
    }
    return hash;
  }
};

// A glyph at the metric size: its unstyled advance and metrics, and for
// styled text the control box of its styled outline.
struct MetricGlyph {
  FT_Pos advance = 0;
  FT_Glyph_Metrics metrics{};
  FT_BBox styledOutline{};
};

// A glyph at the picture size: whether its (styled) outline has points and
// their control box, and the bitmap FT_Glyph_To_Bitmap makes of it, with
// the bitmap's offsets; `bitmap.buffer` points into `pixels`.
struct PictureGlyph {
  bool hasOutline = false;
  FT_BBox outlineBox{};
  int left = 0;
  int top = 0;
  FT_Bitmap bitmap{};
  std::vector<unsigned char> pixels;
};

class GlyphCache {
 public:
  // The most bytes of glyphs one face keeps; past it the cache starts afresh.
  static constexpr std::size_t kBudget = std::size_t{1} << 20;

  const MetricGlyph* findMetric(const GlyphKey& key) const { return find(metrics, key); }
  const PictureGlyph* findPicture(const GlyphKey& key) const { return find(pictures, key); }

  // Adds a glyph; what was found before may be gone afterwards.
  const MetricGlyph& addMetric(const GlyphKey& key, const MetricGlyph& glyph) {
    makeRoom(sizeof(MetricGlyph) + kEntryOverhead);
    return metrics.insert_or_assign(key, glyph).first->second;
  }
  const PictureGlyph& addPicture(const GlyphKey& key, PictureGlyph&& glyph) {
    makeRoom(sizeof(PictureGlyph) + kEntryOverhead + glyph.pixels.size());
    return pictures.insert_or_assign(key, std::move(glyph)).first->second;
  }

 private:
  static constexpr std::size_t kEntryOverhead = sizeof(GlyphKey) + 4 * sizeof(void*);

  template <class Glyph>
  static const Glyph* find(const std::unordered_map<GlyphKey, Glyph, GlyphKeyHash>& glyphs, const GlyphKey& key) {
    const auto found = glyphs.find(key);
    return found == glyphs.end() ? nullptr : &found->second;
  }

  void makeRoom(std::size_t entry) {
    if (bytes + entry > kBudget) {
      metrics.clear();
      pictures.clear();
      bytes = 0;
    }
    bytes += entry;
  }

  std::unordered_map<GlyphKey, MetricGlyph, GlyphKeyHash> metrics;
  std::unordered_map<GlyphKey, PictureGlyph, GlyphKeyHash> pictures;
  std::size_t bytes = 0;
};

}  // namespace nimbuswatch::textengine::detail
