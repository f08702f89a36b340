#include "TextEngine/TextEngine.h"

#include "TextEngine/FontFaces.h"
#include "TextEngine/GlyphCache.h"
#include "TextEngine/StyledTextDetail.h"
#include "TextEngine/TextDecoding.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_GLYPH_H
#include FT_OUTLINE_H
#include FT_SIZES_H

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>

namespace nimbuswatch::textengine::detail {
namespace {

// The layout follows the drawing library's own text call step by step, so
// that without a style both give the same box and the same pixels: advances,
// kerning, pen positions and the box are worked out in 26.6 units at
// kMetricDpi, the glyphs are loaded again and drawn at kPictureDpi, and the
// pen position is carried over from one to the other in double arithmetic in
// the same order of operations. What a glyph gives at either size is kept
// with the face (GlyphCache.h): each glyph is loaded and rendered once.
constexpr int kMetricDpi = 300;
constexpr int kPictureDpi = 96;
constexpr int kMetricUnitsPerInch = kMetricDpi * 64;
constexpr double kLineSpacing = 1.05;
// The text call always runs at angle 0 here.
constexpr double kCosine = 1.0;
constexpr double kSine = 0.0;
// A palette picture blends anti-aliased edges in this many steps.
constexpr int kPaletteLevels = 8;
// Synthetic styles as FreeType's own ones: a slant of 12 degrees (tan 12 in
// 16.16) about the baseline and an emboldening by 1/24 em.
constexpr FT_Fixed kItalicShear = 0x0366A;
constexpr FT_Long kBoldFraction = 24;

char* errorText(const char* text) { return const_cast<char*>(text); }

// --- drawing a glyph bitmap ----------------------------------------------

bool bitSet(const FT_Bitmap& bitmap, int row, int col) {
  return (bitmap.buffer[row * bitmap.pitch + (col >> 3)] & (1 << (7 - (col & 7)))) != 0;
}

// The palette index for a pixel covered at `level` (1..kPaletteLevels) over
// the index `under`. A negative colour is a threshold at half coverage; a
// positive one blends with what lies beneath, adding palette entries.
int paletteColour(gdImagePtr im, int fg, int level, int under) {
  if (level == kPaletteLevels) {
    return fg < 0 ? -fg : fg;
  }
  if (fg < 0) {
    return 2 * level >= kPaletteLevels ? -fg : under;
  }
  const int rest = kPaletteLevels - level;
  return gdImageColorResolve(im, (level * im->red[fg] + rest * im->red[under]) / kPaletteLevels,
                             (level * im->green[fg] + rest * im->green[under]) / kPaletteLevels,
                             (level * im->blue[fg] + rest * im->blue[under]) / kPaletteLevels);
}

bool insideClipRows(gdImagePtr im, int y) { return y >= im->cy1 && y <= im->cy2; }
bool insideClipColumns(gdImagePtr im, int x) { return x >= im->cx1 && x <= im->cx2; }

// Calls paint(x, y, level) for every pixel of the glyph bitmap that is
// covered and lies inside the picture's clip rectangle. A grey value v of
// the bitmap's levels becomes levelOf(v, greys); a set bit of a one-bit
// bitmap is `full`.
template <class LevelOf, class Paint>
void forEachCoveredPixel(gdImagePtr im, const FT_Bitmap& bitmap, int left, int top, int full, LevelOf levelOf,
                         Paint paint) {
  const bool grey = bitmap.pixel_mode == FT_PIXEL_MODE_GRAY;
  if (!grey && bitmap.pixel_mode != FT_PIXEL_MODE_MONO) {
    return;
  }
  const int greys = bitmap.num_grays;
  for (int row = 0; row < static_cast<int>(bitmap.rows); ++row) {
    const int y = top + row;
    if (!insideClipRows(im, y)) {
      continue;
    }
    for (int col = 0; col < static_cast<int>(bitmap.width); ++col) {
      const int level = grey ? levelOf(bitmap.buffer[row * bitmap.pitch + col], greys)
                             : (bitSet(bitmap, row, col) ? full : 0);
      const int x = left + col;
      if (level != 0 && insideClipColumns(im, x)) {
        paint(x, y, level);
      }
    }
  }
}

void drawOnPalette(gdImagePtr im, int fg, const FT_Bitmap& bitmap, int left, int top) {
  forEachCoveredPixel(
      im, bitmap, left, top, kPaletteLevels,
      [](int value, int greys) { return (value * kPaletteLevels + greys / 2) / (greys - 1); },
      [im, fg](int x, int y, int level) {
        unsigned char& pixel = im->pixels[y][x];
        pixel = static_cast<unsigned char>(paletteColour(im, fg, level, pixel));
      });
}

// Truecolor pictures take the coverage as alpha; a negative colour is a
// threshold at half coverage.
void drawOnTrueColor(gdImagePtr im, int fg, const FT_Bitmap& bitmap, int left, int top) {
  forEachCoveredPixel(
      im, bitmap, left, top, gdAlphaTransparent,
      [](int value, int greys) { return value * gdAlphaMax / (greys - 1); },
      [im, fg](int x, int y, int coverage) {
        int level = fg >= 0 ? coverage * (gdAlphaMax - gdTrueColorGetAlpha(fg)) / gdAlphaMax : coverage;
        level = gdAlphaMax - level;
        int& pixel = im->tpixels[y][x];
        const int colour = (level << 24) + (fg & 0xFFFFFF);
        if (fg < 0) {
          if (level < gdAlphaMax / 2) {
            pixel = -fg;
          }
        } else if (im->alphaBlendingFlag != 0 && gdTrueColorGetAlpha(pixel) != gdAlphaTransparent) {
          pixel = gdAlphaBlend(pixel, colour);
        } else {
          pixel = colour;
        }
      });
}

// --- the layout ----------------------------------------------------------

struct Request {
  gdImagePtr image;
  int* box;
  int colour;
  double pointSize;
  int x;
  int y;
  const char* text;
  TextStyle style;
};

struct LaidOutGlyph {
  FT_UInt index = 0;
  FT_Pos advance = 0;  // kerned, and grown by the bold strength
  FT_BBox styledOutline{};  // styled text: the styled outline's control box
};

// Pixels relative to the origin, y downwards, both ends inclusive.
struct PixelBox {
  bool empty = true;
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;

  void add(int l, int t, int r, int b) {
    if (r < l || b < t) {
      return;
    }
    left = empty ? l : std::min(left, l);
    top = empty ? t : std::min(top, t);
    right = empty ? r : std::max(right, r);
    bottom = empty ? b : std::max(bottom, b);
    empty = false;
  }
};

class ScopedGlyph {
 public:
  ScopedGlyph() = default;
  ScopedGlyph(const ScopedGlyph&) = delete;
  ScopedGlyph& operator=(const ScopedGlyph&) = delete;
  ~ScopedGlyph() {
    if (handle != nullptr) {
      FT_Done_Glyph(handle);
    }
  }

  FT_Glyph handle = nullptr;
};

// Whole pixels at the picture's resolution below a 26.6 position at the
// metric resolution; the same whatever the origin, so that a measuring call
// and a drawing call agree.
int pixelFloor(FT_Pos metric) {
  return static_cast<int>(
      std::floor(static_cast<double>(metric) * kPictureDpi / kMetricUnitsPerInch));
}

int floorPixels(FT_Pos units) { return static_cast<int>(units >> 6); }
int ceilPixels(FT_Pos units) { return static_cast<int>((units + 63) >> 6); }

// One call: lays out, measures and (with a picture) draws the text on a face
// that the caller holds for the length of the run.
class TextRun {
 public:
  TextRun(FaceLease& lease, const Request& request)
      : lease(lease),
        face(lease.face()),
        request(request),
        styled(request.style.bold || request.style.italic),
        render(request.image != nullptr &&
               (request.image->trueColor != 0 || (request.colour <= 255 && request.colour >= -255))),
        // Styled glyphs need outlines, and their geometry must not depend on
        // the colour: FT_LOAD_MONOCHROME, which the library passes for a
        // negative colour, is only repeated for plain text.
        layoutFlags(static_cast<FT_Int32>(FT_LOAD_DEFAULT | (styled ? FT_LOAD_NO_BITMAP : 0))),
        glyphFlags(styled ? layoutFlags
                          : static_cast<FT_Int32>(FT_LOAD_DEFAULT |
                                                  (request.colour < 0 ? FT_LOAD_MONOCHROME : 0))) {}

  const char* run() {
    if (const char* error = setSizes()) {
      return error;
    }
    if (const char* error = selectCharmap()) {
      return error;
    }
    decode();
    if (const char* error = layOut()) {
      return error;
    }
    for (std::size_t i = 0; i < codes.size(); ++i) {
      if (const char* error = placeGlyph(i)) {
        return error;
      }
    }
    if (request.box != nullptr) {
      styled ? fillStyledBox() : fillPlainBox();
    }
    return nullptr;
  }

 private:
  const char* setSizes() {
    if (!setSize(metricSize, kMetricDpi, metricStrength)) {
      return "Could not set character size";
    }
    // Styled text is measured on the glyphs as drawn, so it needs the
    // picture's size even without a picture.
    if ((render || styled) && !setSize(pictureSize, kPictureDpi, pictureStrength)) {
      return "Could not set character size";
    }
    return nullptr;
  }

  bool setSize(FT_Size& size, FT_UInt dpi, FT_Pos& strength) {
    size = lease.activeSize(characterHeight(), dpi);
    if (size == nullptr) {
      return false;
    }
    strength = request.style.bold
                   ? FT_MulFix(face->units_per_EM, face->size->metrics.y_scale) / kBoldFraction
                   : 0;
    return true;
  }

  // The first character map that reads Unicode (or a symbol font's codes).
  const char* selectCharmap() {
    for (FT_Int i = 0; i < face->num_charmaps; ++i) {
      FT_CharMap charmap = face->charmaps[i];
      const FT_Encoding encoding = charmap->encoding;
      if (encoding == FT_ENCODING_MS_SYMBOL || encoding == FT_ENCODING_UNICODE ||
          encoding == FT_ENCODING_ADOBE_CUSTOM || encoding == FT_ENCODING_ADOBE_STANDARD) {
        FT_Set_Charmap(face, charmap);
        symbolCharmap = encoding == FT_ENCODING_MS_SYMBOL;
        return nullptr;
      }
    }
    return "No character set found";
  }

  void decode() {
    codes = decodeText(request.text);
    if (symbolCharmap) {
      // Symbol fonts keep their glyphs at U+F000 and above.
      for (std::uint32_t& code : codes) {
        code |= 0xF000;
      }
    }
  }

  // Glyph indices and advances at the metric size; a kerning distance is
  // added to the advance of the glyph before it. Styled glyphs give their
  // advance and their box from one load.
  const char* layOut() {
    FT_Activate_Size(metricSize);
    const bool kerning = !FT_IS_FIXED_WIDTH(face) && FT_HAS_KERNING(face);
    glyphs.assign(codes.size(), LaidOutGlyph{});
    FT_UInt previous = 0;
    for (std::size_t i = 0; i < codes.size(); ++i) {
      const FT_UInt index = FT_Get_Char_Index(face, codes[i]);
      FT_Vector delta{0, 0};
      if (kerning && previous != 0 && index != 0) {
        FT_Get_Kerning(face, previous, index, FT_KERNING_DEFAULT, &delta);
      }
      const MetricGlyph* loaded = metricGlyph(index, layoutFlags);
      if (loaded == nullptr) {
        return "Problem doing text layout";
      }
      if (delta.x != 0) {
        glyphs[i - 1].advance += delta.x;
      }
      glyphs[i] = {index, loaded->advance + metricStrength, loaded->styledOutline};
      previous = codes[i] == '\r' || codes[i] == '\n' ? 0 : index;
    }
    return nullptr;
  }

  const char* placeGlyph(std::size_t i) {
    if (codes[i] == '\r') {
      pen.x = 0;
      return nullptr;
    }
    if (codes[i] == '\n') {
      startLine();
      return nullptr;
    }
    const LaidOutGlyph& glyph = glyphs[i];
    const FT_Glyph_Metrics* metrics = nullptr;
    if (!styled) {
      const MetricGlyph* loaded = metricGlyph(glyph.index, glyphFlags);
      if (loaded == nullptr) {
        return "Problem loading glyph";
      }
      metrics = &loaded->metrics;
    }
    addMetricBox(i == 0, glyph, metrics);
    if (render || styled) {
      if (const char* error = drawGlyph(glyph.index)) {
        return error;
      }
    }
    pen.x += glyph.advance;
    return nullptr;
  }

  // A line feed: back to the left, down by 1.05 lines, on a whole unit.
  void startLine() {
    pen.x = 0;
    pen.y = static_cast<FT_Pos>(static_cast<double>(pen.y) +
                                kLineSpacing * request.pointSize * 64 * kMetricDpi / 72);
    pen.y &= ~static_cast<FT_Pos>(63);
  }

  // A glyph at the metric size as `flags` load it, from the face's glyphs
  // or loaded now; null when it does not load.
  const MetricGlyph* metricGlyph(FT_UInt index, FT_Int32 flags) {
    const GlyphKey key{characterHeight(), kMetricDpi, flags, request.style.bold, request.style.italic, index};
    if (const MetricGlyph* kept = lease.glyphs().findMetric(key)) {
      return kept;
    }
    FT_Activate_Size(metricSize);
    if (FT_Load_Glyph(face, index, flags) != 0) {
      return nullptr;
    }
    MetricGlyph loaded{face->glyph->metrics.horiAdvance, face->glyph->metrics, {}};
    if (styled) {
      applyStyle(metricStrength);
      FT_Outline_Get_CBox(&face->glyph->outline, &loaded.styledOutline);
    }
    return &lease.glyphs().addMetric(key, loaded);
  }

  // A glyph at the picture size, styled, with its bitmap; from the face's
  // glyphs or loaded and rendered now. Null with `error` set when it does
  // not load; a bitmap that cannot be made is an error only for drawing.
  const PictureGlyph* pictureGlyph(FT_UInt index, const char*& error) {
    const GlyphKey key{characterHeight(), kPictureDpi, glyphFlags, request.style.bold, request.style.italic, index};
    if (const PictureGlyph* kept = lease.glyphs().findPicture(key)) {
      return kept;
    }
    FT_Activate_Size(pictureSize);
    if (FT_Load_Glyph(face, index, glyphFlags) != 0) {
      error = "Problem loading glyph";
      return nullptr;
    }
    if (styled) {
      applyStyle(pictureStrength);
    }
    PictureGlyph loaded;
    const FT_Outline& outline = face->glyph->outline;
    loaded.hasOutline = outline.n_points != 0;
    if (loaded.hasOutline) {
      FT_Outline_Get_CBox(&outline, &loaded.outlineBox);
    }
    ScopedGlyph glyph;
    const char* bitmapError = nullptr;
    if (FT_Get_Glyph(face->glyph, &glyph.handle) != 0) {
      bitmapError = "Problem loading glyph";
    } else if (glyph.handle->format != FT_GLYPH_FORMAT_BITMAP &&
               FT_Glyph_To_Bitmap(&glyph.handle, FT_RENDER_MODE_NORMAL, nullptr, 1) != 0) {
      bitmapError = "Problem rendering glyph";
    }
    if (bitmapError != nullptr) {
      // Kept for this call only, without a bitmap: drawing reports the error.
      unrendered = std::move(loaded);
      unrenderedError = bitmapError;
      return &unrendered;
    }
    const FT_BitmapGlyphRec& rendered = *reinterpret_cast<FT_BitmapGlyph>(glyph.handle);
    loaded.left = rendered.left;
    loaded.top = rendered.top;
    loaded.bitmap = rendered.bitmap;
    const auto rowBytes = static_cast<std::size_t>(std::abs(rendered.bitmap.pitch));
    loaded.pixels.assign(rendered.bitmap.buffer, rendered.bitmap.buffer + rowBytes * rendered.bitmap.rows);
    loaded.bitmap.buffer = loaded.pixels.data();
    return &lease.glyphs().addPicture(key, std::move(loaded));
  }

  // The character height of both sizes, in 26.6 points.
  FT_F26Dot6 characterHeight() const { return static_cast<FT_F26Dot6>(request.pointSize * 64); }

  // Slants and emboldens the outline in the glyph slot at the active size.
  void applyStyle(FT_Pos strength) {
    FT_Outline& outline = face->glyph->outline;
    if (request.style.italic) {
      FT_Matrix shear{0x10000, kItalicShear, 0, 0x10000};
      FT_Outline_Transform(&outline, &shear);
    }
    if (request.style.bold) {
      FT_Outline_EmboldenXY(&outline, strength, strength);
    }
  }

  // The glyph's part of the box at the metric size. Plain text takes the
  // glyph metrics and the advance; styled text the styled outline, with the
  // right edge at the advance or the ink, whichever lies further.
  void addMetricBox(bool first, const LaidOutGlyph& glyph, const FT_Glyph_Metrics* metrics) {
    FT_Vector glyphMin{};
    FT_Vector glyphMax{};
    if (styled) {
      const FT_BBox& cbox = glyph.styledOutline;
      glyphMin = {pen.x + cbox.xMin, pen.y - cbox.yMax};
      glyphMax = {pen.x + std::max(glyph.advance, cbox.xMax), pen.y - cbox.yMin};
    } else {
      glyphMin = {pen.x + metrics->horiBearingX, pen.y - metrics->horiBearingY};
      glyphMax = {pen.x + glyph.advance, glyphMin.y + metrics->height};
    }
    if (first) {
      totalMin = glyphMin;
      totalMax = glyphMax;
      return;
    }
    totalMin = {std::min(totalMin.x, glyphMin.x), std::min(totalMin.y, glyphMin.y)};
    totalMax = {std::max(totalMax.x, glyphMax.x), std::max(totalMax.y, glyphMax.y)};
  }

  const char* drawGlyph(FT_UInt index) {
    const char* error = nullptr;
    const PictureGlyph* glyph = pictureGlyph(index, error);
    if (glyph == nullptr) {
      return error;
    }
    if (styled) {
      addInk(*glyph);
    }
    if (!render) {
      return nullptr;
    }
    if (glyph == &unrendered) {
      return unrenderedError;
    }
    drawBitmap(*glyph);
    return nullptr;
  }

  // The pixels the styled outline can cover: a pixel has ink only where the
  // outline's control box reaches into it.
  void addInk(const PictureGlyph& glyph) {
    if (!glyph.hasOutline) {
      return;
    }
    const FT_BBox& cbox = glyph.outlineBox;
    const int x = pixelFloor(pen.x);
    const int y = pixelFloor(pen.y);
    ink.add(x + floorPixels(cbox.xMin), y - ceilPixels(cbox.yMax), x + ceilPixels(cbox.xMax) - 1,
            y - floorPixels(cbox.yMin) - 1);
  }

  void drawBitmap(const PictureGlyph& glyph) {
    int left = 0;
    int top = 0;
    if (styled) {
      left = request.x + pixelFloor(pen.x) + glyph.left;
      top = request.y + pixelFloor(pen.y) - glyph.top;
    } else {
      // The plain call's own rounding: truncation of the sum.
      const auto penX = static_cast<double>(pen.x);
      const auto penY = static_cast<double>(pen.y);
      left = static_cast<int>(request.x + (penX * kCosine + penY * kSine) * kPictureDpi /
                                              kMetricUnitsPerInch +
                              glyph.left);
      top = static_cast<int>(request.y - (penX * kSine - penY * kCosine) * kPictureDpi /
                                             kMetricUnitsPerInch -
                             glyph.top);
    }
    if (request.image->trueColor != 0) {
      drawOnTrueColor(request.image, request.colour, glyph.bitmap, left, top);
    } else {
      drawOnPalette(request.image, request.colour, glyph.bitmap, left, top);
    }
  }

  // The plain call's box: the metric box scaled to pixels, moved to the
  // origin and truncated.
  void fillPlainBox() const {
    const double scale = static_cast<double>(kPictureDpi) / kMetricUnitsPerInch;
    const auto minX = static_cast<double>(totalMin.x);
    const auto minY = static_cast<double>(totalMin.y);
    const auto maxX = static_cast<double>(totalMax.x);
    const auto maxY = static_cast<double>(totalMax.y);
    int* box = request.box;
    box[0] = static_cast<int>(request.x + (minX * kCosine + maxY * kSine) * scale);
    box[1] = static_cast<int>(request.y - (minX * kSine - maxY * kCosine) * scale);
    box[2] = static_cast<int>(request.x + (maxX * kCosine + maxY * kSine) * scale);
    box[3] = static_cast<int>(request.y - (maxX * kSine - maxY * kCosine) * scale);
    box[4] = static_cast<int>(request.x + (maxX * kCosine + minY * kSine) * scale);
    box[5] = static_cast<int>(request.y - (maxX * kSine - minY * kCosine) * scale);
    box[6] = static_cast<int>(request.x + (minX * kCosine + minY * kSine) * scale);
    box[7] = static_cast<int>(request.y - (minX * kSine - minY * kCosine) * scale);
  }

  // The styled box: the metric box rounded outwards, grown to every pixel
  // the glyphs can cover, then moved to the origin.
  void fillStyledBox() const {
    const double scale = static_cast<double>(kPictureDpi) / kMetricUnitsPerInch;
    PixelBox all;
    all.add(static_cast<int>(std::floor(static_cast<double>(totalMin.x) * scale)),
            static_cast<int>(std::floor(static_cast<double>(totalMin.y) * scale)),
            static_cast<int>(std::ceil(static_cast<double>(totalMax.x) * scale)),
            static_cast<int>(std::ceil(static_cast<double>(totalMax.y) * scale)));
    if (!ink.empty) {
      all.add(ink.left, ink.top, ink.right, ink.bottom);
    }
    const int left = request.x + all.left;
    const int right = request.x + all.right;
    const int top = request.y + all.top;
    const int bottom = request.y + all.bottom;
    int* box = request.box;
    box[0] = left;
    box[1] = bottom;
    box[2] = right;
    box[3] = bottom;
    box[4] = right;
    box[5] = top;
    box[6] = left;
    box[7] = top;
  }

  FaceLease& lease;
  FT_Face face;
  Request request;
  bool styled;
  bool render;
  FT_Int32 layoutFlags;
  FT_Int32 glyphFlags;
  bool symbolCharmap = false;
  FT_Size metricSize = nullptr;
  FT_Size pictureSize = nullptr;
  FT_Pos metricStrength = 0;
  FT_Pos pictureStrength = 0;
  std::vector<std::uint32_t> codes;
  std::vector<LaidOutGlyph> glyphs;
  // A glyph of this call whose bitmap could not be made, and why.
  PictureGlyph unrendered;
  const char* unrenderedError = nullptr;
  FT_Vector pen{0, 0};
  FT_Vector totalMin{0, 0};
  FT_Vector totalMax{0, 0};
  PixelBox ink;
};

}  // namespace

char* drawText(gdImagePtr im, int* brect, int fg, const char* fontlist, double ptsize,
               double angle, int x, int y, const char* text, TextStyle style) {
  if (fontlist == nullptr || text == nullptr) {
    return errorText("No font or no text given");
  }
  if (angle != 0.0) {
    return errorText("Styled text can only be drawn at angle 0");
  }
  try {
    FaceLease lease = leaseFace(fontlist);
    if (!lease) {
      return errorText(lease.error());
    }
    TextRun run(lease, Request{im, brect, fg, ptsize, x, y, text, style});
    return errorText(run.run());
  } catch (...) {
    return errorText("Problem allocating memory");
  }
}

}  // namespace nimbuswatch::textengine::detail

namespace nimbuswatch::textengine {

char* gdImageStringFTSA(gdImagePtr im, int* brect, int fg, const char* fontlist, double ptsize, double angle, int x,
                        int y, const char* string, int bold, int italic) {
  if (bold == 0 && italic == 0) {
    return gdImageStringFT(im, brect, fg, fontlist, ptsize, angle, x, y, string);
  }
  return detail::drawText(im, brect, fg, fontlist, ptsize, angle, x, y, string,
                          detail::TextStyle{bold != 0, italic != 0});
}

bool isFontPath(std::string_view fontlist) {
  return fontlist.find('/') != std::string_view::npos && fontlist.find(';') == std::string_view::npos;
}

const char* drawStyledText(gdImagePtr im, int* brect, int fg, const char* fontPath, double ptsize, int x,
                           int y, const char* text, int bold, int italic) {
  return detail::drawText(im, brect, fg, fontPath, ptsize, 0.0, x, y, text, detail::TextStyle{bold != 0, italic != 0});
}

const char* readFaceMetrics(const char* path, int pointSize, FaceMetrics& metrics) {
  detail::FaceLease lease = detail::leaseFace(path);
  if (!lease) {
    return lease.error();
  }
  const FT_Size size = lease.activeSize(static_cast<FT_F26Dot6>(pointSize) * 64, 96);
  if (size == nullptr) {
    return "Could not set character size";
  }
  const FT_Face face = lease.face();
  metrics.height = size->metrics.height;
  metrics.ascender = size->metrics.ascender;
  metrics.underlinePosition = FT_MulFix(face->underline_position, size->metrics.y_scale);
  metrics.underlineThickness = FT_MulFix(face->underline_thickness, size->metrics.y_scale);
  return nullptr;
}

}  // namespace nimbuswatch::textengine
