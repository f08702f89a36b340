#include "CoreRequestHandler/ColourAndStyle.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>

namespace nimbuswatch {
namespace {

using Rgb = std::array<int, 3>;

// The components after the call, or none when it failed; a failed call
// must leave them as they were.
std::optional<Rgb> colour(const std::string& value) {
  Rgb rgb{-1, -2, -3};
  if (!parseColour(value, rgb[0], rgb[1], rgb[2])) {
    EXPECT_EQ(rgb, (Rgb{-1, -2, -3})) << value;
    return std::nullopt;
  }
  return rgb;
}

// The flags after the call as "biu" digits, starting from 0, 0, 0.
std::string style(const std::string& value) {
  int bold = 0;
  int italic = 0;
  int underline = 0;
  EXPECT_TRUE(parseStyle(value, bold, italic, underline));
  return std::to_string(bold) + std::to_string(italic) + std::to_string(underline);
}

TEST(ColourTest, SixteenNamesInAnyLetterCaseAndNoOthers) {
  const std::pair<const char*, Rgb> names[] = {
      {"black", {0, 0, 0}},       {"gray", {128, 128, 128}}, {"silver", {192, 192, 192}}, {"white", {255, 255, 255}},
      {"red", {255, 0, 0}},       {"fuchsia", {255, 0, 255}}, {"maroon", {128, 0, 0}},     {"purple", {128, 0, 128}},
      {"navy", {0, 0, 128}},      {"blue", {0, 0, 255}},      {"aqua", {0, 255, 255}},     {"green", {0, 128, 0}},
      {"lime", {0, 255, 0}},      {"teal", {0, 128, 128}},    {"yellow", {255, 255, 0}},   {"olive", {128, 128, 0}}};
  for (const auto& [name, rgb] : names) {
    EXPECT_EQ(colour(name), rgb) << name;
  }
  EXPECT_EQ(colour("RED"), (Rgb{255, 0, 0}));
  EXPECT_EQ(colour("FuchSia"), (Rgb{255, 0, 255})) << "seven bytes without '#' is a name";
  for (const char* rejected : {"grey", " red", "red ", "", "orange", "re", "\xC4red"}) {
    EXPECT_EQ(colour(rejected), std::nullopt) << rejected;
  }
}

TEST(ColourTest, HashAndSixBytesAlwaysGiveAColour) {
  EXPECT_EQ(colour("#FF8000"), (Rgb{255, 128, 0}));
  EXPECT_EQ(colour("#ff8000"), (Rgb{255, 128, 0}));
  EXPECT_EQ(colour("#12345G"), (Rgb{18, 52, 80}));
  EXPECT_EQ(colour("#zzzzzz"), (Rgb{0, 0, 0}));
  EXPECT_EQ(colour("#\xFF\x80 a:f"), (Rgb{0, 10, 15}));
  for (const char* rejected : {"#fff", "#ff80001", "#", "ff8000"}) {
    EXPECT_EQ(colour(rejected), std::nullopt) << rejected;
  }
}

TEST(StyleTest, WordsEndAtCommaOrSemicolonOnly) {
  EXPECT_EQ(style("bold,italic"), "110");
  EXPECT_EQ(style("Bold; Italic"), "110");
  EXPECT_EQ(style("italic;bold"), "110");
  EXPECT_EQ(style("UNDERLINE"), "001");
  EXPECT_EQ(style("bold,,bold;"), "100");
  EXPECT_EQ(style("bold italic"), "000") << "one word: bolditalic";
  EXPECT_EQ(style("under line"), "001");
  EXPECT_EQ(style("under-line,_italic_"), "011");
  EXPECT_EQ(style("bo\xC3\xA4ld"), "100") << "bytes above 127 are dropped";
  EXPECT_EQ(style("bold2,heavy"), "000");
  EXPECT_EQ(style(""), "000");
}

TEST(StyleTest, NeverClearsAFlag) {
  int bold = 1;
  int italic = 1;
  int underline = 0;
  EXPECT_TRUE(parseStyle("underline", bold, italic, underline));
  EXPECT_EQ(bold + italic + underline, 3);
}

}  // namespace
}  // namespace nimbuswatch
