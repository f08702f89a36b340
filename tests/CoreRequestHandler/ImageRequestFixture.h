// The image request tests' world: real settings read from the registry key,
// a fonts directory of Debian's fonts, a spool, an images directory and a
// log; elements are stored as pages store them and requested by URL, and
// the GIFs found are decoded with the drawing library.
#pragma once

#include "CoreRequestHandler/CoreRequestHandler.h"
#include "Settings/Settings.h"
#include "Settings/TraceCapture.h"
#include "TextEngine/TextEngine.h"
#include "support/FontsDir.h"
#include "support/RegistryKey.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include <gd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace nimbuswatch::test {

using Attributes = std::map<std::string, std::string>;

// A GIF decoded by the drawing library. Ink is every pixel that is not the
// background, palette entry 0.
class Picture {
 public:
  explicit Picture(const std::string& gif)
      : image(gif.empty() ? nullptr
                          : gdImageCreateFromGifPtr(static_cast<int>(gif.size()), const_cast<char*>(gif.data()))) {}

  explicit operator bool() const { return image != nullptr; }
  gdImagePtr get() const { return image.get(); }
  int width() const { return gdImageSX(image.get()); }
  int height() const { return gdImageSY(image.get()); }
  bool ink(int x, int y) const { return gdImageGetPixel(image.get(), x, y) != 0; }

  int inkInColumn(int x) const {
    int count = 0;
    for (int y = 0; y < height(); ++y) count += ink(x, y) ? 1 : 0;
    return count;
  }
  int inkInRow(int y) const {
    int count = 0;
    for (int x = 0; x < width(); ++x) count += ink(x, y) ? 1 : 0;
    return count;
  }
  int inkTotal() const {
    int count = 0;
    for (int y = 0; y < height(); ++y) count += inkInRow(y);
    return count;
  }
  int firstInkColumn() const {
    for (int x = 0; x < width(); ++x) {
      if (inkInColumn(x) > 0) return x;
    }
    return -1;
  }
  // The mean column of the ink in rows top to bottom, inclusive.
  double meanInkColumn(int top, int bottom) const {
    double sum = 0;
    int count = 0;
    for (int y = top; y <= bottom; ++y) {
      for (int x = 0; x < width(); ++x) {
        if (ink(x, y)) {
          sum += x;
          ++count;
        }
      }
    }
    return count > 0 ? sum / count : 0.0;
  }
  // Rows from the baseline down (the first row under the glyphs is row
  // `baseline`) whose ink spans all but the two margin columns: an underline.
  std::vector<int> underlineRows(int baseline) const {
    std::vector<int> rows;
    for (int y = baseline; y < height(); ++y) {
      if (inkInRow(y) >= width() - 2) rows.push_back(y);
    }
    return rows;
  }

 private:
  struct Destroy {
    void operator()(gdImagePtr picture) const { gdImageDestroy(picture); }
  };
  std::unique_ptr<gdImage, Destroy> image;
};

struct FaceMetrics {
  int height = 0;
  int ascent = 0;
};

// The line height and ascent of a face at a point size and 96 dpi.
inline FaceMetrics faceMetrics(const std::string& path, int size) {
  FaceMetrics metrics;
  FT_Library library = nullptr;
  FT_Face face = nullptr;
  if (FT_Init_FreeType(&library) == 0 && FT_New_Face(library, path.c_str(), 0, &face) == 0 &&
      FT_Set_Char_Size(face, 0, size * 64, 96, 96) == 0) {
    metrics.height = static_cast<int>(face->size->metrics.height / 64);
    metrics.ascent = static_cast<int>(face->size->metrics.ascender / 64);
  }
  if (face != nullptr) FT_Done_Face(face);
  if (library != nullptr) FT_Done_FreeType(library);
  return metrics;
}

// The width the rendering gives a text: the measured box and 2 margins.
inline int measuredWidth(const std::string& path, int size, const std::string& text, int bold = 0, int italic = 0) {
  int box[8] = {};
  if (textengine::gdImageStringFTSA(nullptr, box, 0, path.c_str(), size, 0.0, 0, 0, text.c_str(), bold, italic) !=
      nullptr) {
    return -1;
  }
  return box[4] - box[0] + 2;
}

class ImageRequestTest : public ::testing::Test {
 protected:
  static constexpr const char* kPrefix = "/textimages/";

  ImageRequestTest() {
    gdFontCacheSetup();
    processValues().imagesDir = images.path();
  }

  // Reads the settings (FontsDir, then `values`) and the catalogue of the
  // fonts directory as it stands.
  void start(const ScopedRegistryKey::Values& values = {}) {
    ScopedRegistryKey::Values key{{"FontsDir", fonts.path()}};
    key.insert(key.end(), values.begin(), values.end());
    registry.write(key);
    settings = std::make_unique<Settings>();
    processValues().settings = settings.get();
    processValues().fontsDir = fonts.path();
  }
  // The usual fonts: the four Liberation Serif faces and "times.ttf".
  void startWithSerif(const ScopedRegistryKey::Values& values = {}) {
    fonts.addLiberationSerif().addTimes();
    start(values);
  }

  std::string store(const std::string& text, const Attributes& attributes) {
    ElementRecord record;
    record.name = "textimage";
    record.text = text;
    record.attributes = attributes;
    return processValues().spool->store(describeElement(record));
  }
  std::string gifPath(const std::string& identifier) const { return images.file(identifier + ".gif"); }

  // Stores the element, requests its URL and returns the GIF's bytes, or
  // the empty string when none was written.
  std::string request(const std::string& text, const Attributes& attributes) {
    const std::string identifier = store(text, attributes);
    handleImageRequest((kPrefix + identifier + ".gif").c_str(), processValues().imageSettings());
    return exists(gifPath(identifier)) ? readFile(gifPath(identifier)) : std::string();
  }
  Picture draw(const std::string& text, const Attributes& attributes) { return Picture(request(text, attributes)); }

  // The log as "level: message", with "<module>:<line> " taken out.
  std::vector<std::string> log() const {
    static const std::regex location(R"(\.\\src\\CoreRequestHandler:\d+ )");
    std::vector<std::string> lines = fixture.logMessages();
    for (std::string& line : lines) line = std::regex_replace(line, location, "");
    return lines;
  }
  bool logged(const std::string& message) const {
    const std::vector<std::string> lines = log();
    return std::find(lines.begin(), lines.end(), message) != lines.end();
  }
  // The last "first rendering" line: the font and size a drawing used.
  std::string lastRendering() const {
    std::string last;
    for (const std::string& line : log()) {
      if (line.starts_with("notice: first rendering ")) last = line;
    }
    return last;
  }

  ProcessFixture fixture;
  TraceCapture trace;
  ScopedRegistryKey registry;
  FontsDir fonts;
  TempDir images;
  std::unique_ptr<Settings> settings;
};

}  // namespace nimbuswatch::test
