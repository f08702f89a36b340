// Drawing one element into a GIF: the text is measured with the drawing
// library's text call, the picture is made as wide as the box and as high as
// the font's line, and the text is drawn into it without anti-aliasing. A
// font named by a path is laid out by our own faces, which give the
// library's boxes and pixels exactly and keep the glyphs they load.

#include "CoreRequestHandler/ColourAndStyle.h"
#include "CoreRequestHandler/CoreRequestHandler.h"
#include "Logger/Logger.h"
#include "Settings/Settings.h"
#include "TextEngine/TextEngine.h"
#include "platform/Ascii.h"
#include "platform/Files.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace nimbuswatch {

namespace {

constexpr const char* kModule = ".\\src\\CoreRequestHandler";

constexpr int kSmallestSize = 1;
constexpr int kLargestSize = 400;
constexpr int kUnusableSizeReplacement = 10;
constexpr const char* kFallbackFace = "times";
constexpr int kFallbackSize = 12;
// A GIF stores its width and height in 16 bits.
constexpr int kLargestGifSide = 65535;

// What the element asks for.
struct Request {
  std::string family;
  int bold = 0;
  int italic = 0;
  int underline = 0;
};

// The font the text is drawn with: its file, the face name that names the
// same file for the metrics, and the point size.
struct Font {
  std::string path;
  std::string faceName;
  int size = 0;
};

// Line metrics at the size, in pixels; the underline's centre and thickness
// in 26.6 pixels, the centre above the baseline (negative below).
struct LineMetrics {
  int height = 0;
  int ascent = 0;
  FT_Pos underlinePosition = 0;
  FT_Pos underlineThickness = 0;
};

// The styled text call for `font`: our own layout where it reproduces the
// library's, the library's text call for any other font name.
const char* drawText(gdImagePtr picture, int* box, int colour, const Font& font, int x, int y,
                     const std::string& text, int bold, int italic) {
  if (textengine::isFontPath(font.path)) {
    return textengine::drawStyledText(picture, box, colour, font.path.c_str(), font.size, x, y, text.c_str(), bold,
                                      italic);
  }
  return textengine::gdImageStringFTSA(picture, box, colour, font.path.c_str(), font.size, 0.0, x, y, text.c_str(),
                                       bold, italic);
}

const char* setting(const Settings* settings, const char* name) {
  return settings != nullptr ? settings->get(name) : "";
}

// The family as the catalogue keys it: ASCII capitals lowered, the spaces
// (and only the spaces) around it dropped.
std::string familyOf(const Settings* settings, const ElementRecord& record) {
  std::string family = record.attributeValue("font");
  if (family.empty()) {
    family = setting(settings, "DefaultFontFace");
  }
  ascii::lowerInPlace(family);
  const std::size_t first = family.find_first_not_of(' ');
  if (first == std::string::npos) {
    return {};
  }
  return family.substr(first, family.find_last_not_of(' ') - first + 1);
}

// A decimal integer from the start of the text, as "%d" reads it (leading
// white space, a sign, digits); 0 when there is none. Out of range or
// unreadable gives 10.
int sizeOf(const Settings* settings, const ElementRecord& record) {
  std::string text = record.attributeValue("size");
  if (text.empty()) {
    text = setting(settings, "DefaultFontSize");
  }
  const long value = std::strtol(text.c_str(), nullptr, 10);
  return value < kSmallestSize || value > kLargestSize ? kUnusableSizeReplacement : static_cast<int>(value);
}

Request requestOf(const Settings* settings, const ElementRecord& record) {
  Request request;
  request.family = familyOf(settings, record);
  const std::string style = record.attributeValue("style");
  if (!style.empty()) {
    parseStyle(style, request.bold, request.italic, request.underline);
  }
  return request;
}

// The measuring pass with the requested font. A font file that does not
// open counts as a failure without asking the drawing library, which under
// concurrency has been seen to measure a missing file successfully.
bool measure(const Font& font, const std::string& text, int bold, int italic, int* box) {
  if (!fileExists(font.path)) {
    return false;
  }
  return drawText(nullptr, box, 0, font, 0, 0, text, bold, italic) == nullptr;
}

// The metrics of the face at `path` at the size. The face and its size come
// from the faces the styled text call keeps open: opening the file and
// running its size program afresh for every picture would cost as much as
// drawing it. False after a failure, which is logged.
bool readLineMetrics(const std::string& path, int size, LineMetrics& metrics) {
  textengine::FaceMetrics face;
  const char* error = textengine::readFaceMetrics(path.c_str(), size, face);
  if (error != nullptr) {
    const std::string_view reason(error);
    if (reason == "Failure to initialize font library" || reason == "Could not set character size") {
      logMessage(kError, "%s", error);
    } else {
      logMessage(kError, "Could not read font '%s'.", path.c_str());
    }
    return false;
  }
  metrics.height = static_cast<int>(face.height / 64);
  metrics.ascent = static_cast<int>(face.ascender / 64);
  metrics.underlinePosition = face.underlinePosition;
  metrics.underlineThickness = face.underlineThickness;
  return true;
}

int roundedPixels(FT_Pos value) { return static_cast<int>(value >= 0 ? (value + 32) / 64 : -((32 - value) / 64)); }

// The underline: as thick as the face says at this size (one row at least,
// one more for synthetic bold, as a real bold face gives its own thickness),
// centred where the face puts it below the baseline and kept inside the
// picture, so that a line that was asked for shows. It runs along the box,
// whose right edge is one past its last column.
void drawUnderline(gdImagePtr picture, const LineMetrics& metrics, const int* box, bool emboldened, int colour) {
  const int height = gdImageSY(picture);
  const int rows = std::min(height, std::max(1, roundedPixels(metrics.underlineThickness)) + (emboldened ? 1 : 0));
  const int centre = metrics.ascent - roundedPixels(metrics.underlinePosition);
  const int top = std::clamp(centre - (rows - 1) / 2, 0, height - rows);
  gdImageFilledRectangle(picture, box[0], top, box[2] - 1, top + rows - 1, colour);
}

// Family, style, font file and size, in that order: the catalogue sees the
// family lower-cased and may clear the bold and italic wishes.
Font chooseFont(const ImageSettings& where, Request& request, const ElementRecord& record) {
  const std::string base = platform::isPlainFileName(request.family)
                               ? resolveFontFile(where.settings, request.family, request.bold, request.italic)
                               : request.family;
  return Font{std::string(where.fontsDir) + base + ".ttf", base, sizeOf(where.settings, record)};
}

// Measures the text; when the requested font cannot be used, switches to
// the fallback font and measures with that. The fallback is measured with
// the same style flags it will be drawn with, so that a synthetic bold or
// slant fits into the picture. False when neither font can be used.
bool measureOrFallBack(std::string_view fontsDir, const Request& request, const std::string& text, Font& font,
                       int* box) {
  if (platform::isPlainFileName(request.family) && measure(font, text, request.bold, request.italic, box)) {
    return true;
  }
  font = Font{std::string(fontsDir) + kFallbackFace + ".ttf", kFallbackFace, kFallbackSize};
  logMessage(kInfo, "first rendering error font=[%s], fontsize=%d, text=[%s]", font.path.c_str(), font.size,
             text.c_str());
  if (const char* error = drawText(nullptr, box, 0, font, 0, 0, text, request.bold, request.italic)) {
    logMessage(kError, "first Fatal GD library error: %s", error);
    return false;
  }
  return true;
}

struct Palette {
  int background = 0;
  int foreground = 0;
};

// Every pixel of the palette picture set to `colour`, row by row: what
// gdImageFilledRectangle over the whole picture does pixel by pixel.
void fillPicture(gdImagePtr picture, int colour) {
  for (int y = 0; y < gdImageSY(picture); ++y) {
    std::memset(picture->pixels[y], colour, static_cast<std::size_t>(gdImageSX(picture)));
  }
}

// The background is the first palette entry (transparent white unless
// bgcolor names a colour), the text colour the second (black unless color
// names one); the picture is interlaced and filled with the background.
Palette preparePicture(gdImagePtr picture, const ElementRecord& record) {
  Palette palette;
  int red = 0;
  int green = 0;
  int blue = 0;
  if (parseColour(record.attributeValue("bgcolor"), red, green, blue)) {
    palette.background = gdImageColorAllocate(picture, red, green, blue);
  } else {
    palette.background = gdImageColorAllocateAlpha(picture, 255, 255, 255, 127);
    gdImageColorTransparent(picture, palette.background);
  }
  red = green = blue = 0;
  parseColour(record.attributeValue("color"), red, green, blue);
  palette.foreground = gdImageColorAllocate(picture, red, green, blue);
  gdImageInterlace(picture, 1);
  fillPicture(picture, palette.background);
  return palette;
}

GifBytes encode(gdImagePtr picture) {
  int size = 0;
  void* bytes = gdImageGifPtr(picture, &size);
  if (bytes == nullptr || size <= 0) {
    gdFree(bytes);
    logAt(kError, {kModule, __LINE__}, "the GIF encoder gave no bytes");
    return {};
  }
  return GifBytes(bytes, size);
}

}  // namespace

std::string resolveFontFile(const Settings* settings, const std::string& family, int& bold, int& italic) {
  std::string name = settings != nullptr ? settings->findFace(family, bold, italic) : family;
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) {
    name.erase(dot);
  }
  return name;
}

GifBytes CoreRequestHandler::renderGif() {
  const std::string fontsDir(where.fontsDir);
  logMessage(kInfo, "font global dir=[%s]", fontsDir.c_str());
  if (record == nullptr) {
    return {};
  }
  Request request = requestOf(where.settings, *record);
  Font font = chooseFont(where, request, *record);

  const std::string& text = record->text;
  if (text.empty()) {
    logMessage(kNotice, "empty text");
    return {};
  }
  logMessage(kNotice, "first rendering font=[%s], fontsize=%d, text=[%s]", font.path.c_str(), font.size,
             text.c_str());
  int box[8] = {};
  LineMetrics metrics;
  if (!measureOrFallBack(fontsDir, request, text, font, box) ||
      !readLineMetrics(fontsDir + font.faceName + ".ttf", font.size, metrics)) {
    return {};
  }

  const int xOrigin = 1 - box[0];
  const int width = box[4] - box[0] + 2;
  const int height = metrics.height;
  if (width > kLargestGifSide || height > kLargestGifSide) {
    logAt(kError, {kModule, __LINE__}, "picture of %d x %d pixels is too large for a GIF", width, height);
    return {};
  }
  image.reset(width > 0 && height > 0 ? gdImageCreate(width, height) : nullptr);
  if (image == nullptr) {
    logAt(kError, {kModule, __LINE__}, "couldn't create a picture of %d x %d pixels", width, height);
    return {};
  }
  gdImagePtr picture = image.get();
  const Palette palette = preparePicture(picture, *record);

  // A negative colour draws without anti-aliasing; the baseline lies
  // `ascent` rows below the top and the box's left edge on column 1.
  if (const char* error = drawText(picture, box, -palette.foreground, font, xOrigin, metrics.ascent, text,
                                   request.bold, request.italic)) {
    logMessage(kError, "second GD library error: %s", error);
    logMessage(kError, "second %s", font.faceName.c_str());
    return {};
  }
  if (request.underline == 1) {
    drawUnderline(picture, metrics, box, request.bold == 1, palette.foreground);
  }
  return encode(picture);
}

}  // namespace nimbuswatch
