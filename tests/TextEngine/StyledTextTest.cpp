// The styled text call against the drawing library itself: the own layout
// path with no style must give gdImageStringFT's box and pixels exactly;
// with a style the glyphs get bolder or lean, and the box holds the ink.
#include "TextEngine/CharacterEntities.h"
#include "TextEngine/StyledTextDetail.h"
#include "TextEngine/TextDecoding.h"
#include "TextEngine/TextEngine.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace nimbuswatch::textengine {
namespace {

const std::string kFonts = test::machinePath("/usr/share/fonts/truetype/");
const std::string kDejaVuSans = kFonts + "dejavu/DejaVuSans.ttf";
const std::string kLiberationSerif = kFonts + "liberation/LiberationSerif-Regular.ttf";

using Box = std::array<int, 8>;

struct PictureDeleter {
  void operator()(gdImagePtr image) const { gdImageDestroy(image); }
};
using Picture = std::unique_ptr<gdImage, PictureDeleter>;

// A picture as the GIF rendering makes it: background first, then the text
// colour; a truecolor one starts white.
Picture makePicture(int width, int height, bool trueColor, bool opaque) {
  Picture picture(trueColor ? gdImageCreateTrueColor(width, height) : gdImageCreate(width, height));
  const int background = trueColor ? gdTrueColor(255, 255, 255)
                         : opaque  ? gdImageColorAllocate(picture.get(), 250, 240, 200)
                                   : gdImageColorAllocateAlpha(picture.get(), 255, 255, 255, 127);
  if (!trueColor) {
    gdImageColorAllocate(picture.get(), 20, 40, 160);
  }
  gdImageFilledRectangle(picture.get(), 0, 0, width - 1, height - 1, background);
  return picture;
}

int textColour(bool trueColor, bool negative) {
  const int colour = trueColor ? gdTrueColor(20, 40, 160) : 1;
  return negative ? -colour : colour;
}

// Everything a drawing may change: size, palette and every pixel.
void expectSamePictures(gdImagePtr expected, gdImagePtr actual) {
  ASSERT_EQ(gdImageSX(expected), gdImageSX(actual));
  ASSERT_EQ(gdImageSY(expected), gdImageSY(actual));
  ASSERT_EQ(gdImageColorsTotal(expected), gdImageColorsTotal(actual));
  for (int i = 0; i < gdImageColorsTotal(expected); ++i) {
    EXPECT_EQ(gdImageRed(expected, i), gdImageRed(actual, i)) << "palette " << i;
    EXPECT_EQ(gdImageGreen(expected, i), gdImageGreen(actual, i)) << "palette " << i;
    EXPECT_EQ(gdImageBlue(expected, i), gdImageBlue(actual, i)) << "palette " << i;
    EXPECT_EQ(gdImageAlpha(expected, i), gdImageAlpha(actual, i)) << "palette " << i;
  }
  int differing = 0;
  for (int y = 0; y < gdImageSY(expected); ++y) {
    for (int x = 0; x < gdImageSX(expected); ++x) {
      differing += gdImageGetPixel(expected, x, y) != gdImageGetPixel(actual, x, y) ? 1 : 0;
    }
  }
  EXPECT_EQ(differing, 0);
}

// Where the pixels that differ from the top-left corner's lie.
struct Ink {
  int left = 1 << 30;
  int top = 1 << 30;
  int right = -1;
  int bottom = -1;
  long count = 0;
};

Ink inkOf(gdImagePtr picture) {
  Ink ink;
  const int background = gdImageGetPixel(picture, 0, 0);
  for (int y = 0; y < gdImageSY(picture); ++y) {
    for (int x = 0; x < gdImageSX(picture); ++x) {
      if (gdImageGetPixel(picture, x, y) != background) {
        ink = {std::min(ink.left, x), std::min(ink.top, y), std::max(ink.right, x),
               std::max(ink.bottom, y), ink.count + 1};
      }
    }
  }
  return ink;
}

// The mean column of the ink in rows [from, to].
double meanColumn(gdImagePtr picture, int from, int to) {
  const int background = gdImageGetPixel(picture, 0, 0);
  double sum = 0;
  long count = 0;
  for (int y = from; y <= to; ++y) {
    for (int x = 0; x < gdImageSX(picture); ++x) {
      if (gdImageGetPixel(picture, x, y) != background) {
        sum += x;
        ++count;
      }
    }
  }
  return count == 0 ? 0 : sum / static_cast<double>(count);
}

char* ownPlainLayout(gdImagePtr im, int* box, int fg, const char* font, double size, double angle,
                     int x, int y, const char* text) {
  return detail::drawText(im, box, fg, font, size, angle, x, y, text, detail::TextStyle{});
}

struct Styled {
  int bold;
  int italic;
};

// A picture of `text` made the way the GIF rendering makes it: measured at
// the origin, one column of margin, the baseline `baseline` rows down.
struct Drawing {
  Box measured{};
  Box drawn{};
  Picture picture;
};

Drawing drawLikeRendering(const std::string& font, double size, const char* text, Styled style,
                          int baseline, int height) {
  Drawing drawing;
  EXPECT_EQ(gdImageStringFTSA(nullptr, drawing.measured.data(), 0, font.c_str(), size, 0.0, 0, 0,
                              text, style.bold, style.italic),
            nullptr);
  const int width = drawing.measured[2] - drawing.measured[0] + 2;
  drawing.picture = makePicture(width, height, false, false);
  EXPECT_EQ(gdImageStringFTSA(drawing.picture.get(), drawing.drawn.data(), -1, font.c_str(), size,
                              0.0, 1 - drawing.measured[0], baseline, text, style.bold,
                              style.italic),
            nullptr);
  return drawing;
}

class StyledTextTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gdFontCacheSetup(); }
};

const std::vector<std::string> kTexts = {
    "Hello, World",
    "AVAWAY To Wa",
    "&amp; &#233; &#x263A; &hearts; &bogus; &#1234567; &#x;",
    "caf\xC3\xA9 \xE9t\xE9 \xE2\x82\xAC",
    "\xF0\x9F\x98\x80 4-byte",
    "two\nlines\r\nback",
    "trailing  ",
    "x",
    "",
};

// The own layout with no style against gdImageStringFT: the same box when
// measuring, and the same box, palette and pixels when drawing, for palette
// and truecolor pictures, a negative (thresholded) and a positive (blended)
// colour, and an origin that puts the first glyph partly off the picture.
TEST_F(StyledTextTest, OwnLayoutReproducesTheLibraryExactly) {
  for (const std::string& font : {kDejaVuSans, kLiberationSerif}) {
    for (const double size : {8.0, 10.5, 12.0, 16.0, 48.0}) {
      for (const std::string& text : kTexts) {
        SCOPED_TRACE(font + " " + std::to_string(size) + " [" + text + "]");
        Box expected{};
        Box actual{};
        ASSERT_EQ(gdImageStringFT(nullptr, expected.data(), 0, font.c_str(), size, 0.0, 0, 0,
                                  text.c_str()),
                  nullptr);
        ASSERT_EQ(ownPlainLayout(nullptr, actual.data(), 0, font.c_str(), size, 0.0, 0, 0,
                                 text.c_str()),
                  nullptr);
        EXPECT_EQ(expected, actual);
        const int width = expected[2] - expected[0] + 12;
        const int height = expected[1] - expected[5] + 12;
        const int baseline = 5 - expected[5];
        for (const int left : {5 - expected[0], -3}) {
          for (const bool trueColor : {false, true}) {
            for (const bool negative : {true, false}) {
              SCOPED_TRACE(testing::Message() << "x " << left << " truecolor " << trueColor
                                              << " negative " << negative);
              const Picture library = makePicture(width, height, trueColor, true);
              const Picture own = makePicture(width, height, trueColor, true);
              const int colour = textColour(trueColor, negative);
              ASSERT_EQ(gdImageStringFT(library.get(), expected.data(), colour, font.c_str(), size,
                                        0.0, left, baseline, text.c_str()),
                        nullptr);
              ASSERT_EQ(ownPlainLayout(own.get(), actual.data(), colour, font.c_str(), size, 0.0,
                                       left, baseline, text.c_str()),
                        nullptr);
              EXPECT_EQ(expected, actual);
              expectSamePictures(library.get(), own.get());
            }
          }
        }
      }
    }
  }
}

// The GIF rendering lays out plain text by our own faces wherever the font
// is named by a path: for every face installed with the system, the
// measuring and the drawing call as the rendering makes them give the
// library's boxes and pixels, the first time and again from the glyphs the
// face keeps.
TEST_F(StyledTextTest, EveryInstalledFaceDrawsPlainTextLikeTheLibrary) {
  std::vector<std::string> fonts;
  for (const char* folder : {"dejavu", "liberation"}) {
    for (const auto& entry : std::filesystem::directory_iterator(kFonts + folder)) {
      if (entry.path().extension() == ".ttf") {
        fonts.push_back(entry.path().string());
      }
    }
  }
  ASSERT_GE(fonts.size(), 20U);
  std::sort(fonts.begin(), fonts.end());
  for (const std::string& font : fonts) {
    ASSERT_TRUE(isFontPath(font));
    for (const double size : {9.0, 11.0, 14.0, 16.0, 21.0, 36.0}) {
      for (const char* text : {"office@example.org", "AVAWAY To Wa, fjord &amp; caf\xC3\xA9"}) {
        SCOPED_TRACE(font + " " + std::to_string(size) + " [" + text + "]");
        Box expected{};
        ASSERT_EQ(gdImageStringFT(nullptr, expected.data(), 0, font.c_str(), size, 0.0, 0, 0, text), nullptr);
        const int width = expected[2] - expected[0] + 2;
        const int height = static_cast<int>(size * 2);
        const int baseline = static_cast<int>(size * 1.5);
        const Picture library = makePicture(width, height, false, false);
        Box expectedDrawn{};
        ASSERT_EQ(gdImageStringFT(library.get(), expectedDrawn.data(), -1, font.c_str(), size, 0.0,
                                  1 - expected[0], baseline, text),
                  nullptr);
        for (int round = 0; round < 2; ++round) {
          Box measured{};
          Box drawn{};
          ASSERT_EQ(drawStyledText(nullptr, measured.data(), 0, font.c_str(), size, 0, 0, text, 0, 0), nullptr);
          EXPECT_EQ(measured, expected);
          const Picture own = makePicture(width, height, false, false);
          ASSERT_EQ(drawStyledText(own.get(), drawn.data(), -1, font.c_str(), size, 1 - expected[0], baseline,
                                   text, 0, 0),
                    nullptr);
          EXPECT_EQ(drawn, expectedDrawn);
          expectSamePictures(library.get(), own.get());
        }
      }
    }
  }
}

// Every name of our table draws in the library exactly like its numeric
// reference, so the table holds the library's values; "apos" is not an
// HTML 4.0 name and stays literal text.
TEST_F(StyledTextTest, EntityTableAgreesWithTheLibrary) {
  ASSERT_EQ(characterEntities().size(), 252U);
  EXPECT_FALSE(characterEntity("apos"));
  EXPECT_FALSE(characterEntity("AMP"));
  EXPECT_EQ(characterEntity("Eacute"), 201U);
  EXPECT_EQ(characterEntity("eacute"), 233U);
  for (const CharacterEntity& entity : characterEntities()) {
    const std::string named = "&" + std::string(entity.name) + ";";
    const std::string numeric = "&#" + std::to_string(entity.codePoint) + ";";
    SCOPED_TRACE(named);
    EXPECT_EQ(decodeText(named.c_str()), std::vector<std::uint32_t>{entity.codePoint});
    const Picture byName = makePicture(40, 40, false, true);
    const Picture byNumber = makePicture(40, 40, false, true);
    Box nameBox{};
    Box numberBox{};
    gdImageStringFT(byName.get(), nameBox.data(), -1, kDejaVuSans.c_str(), 14, 0, 10, 28,
                    named.c_str());
    gdImageStringFT(byNumber.get(), numberBox.data(), -1, kDejaVuSans.c_str(), 14, 0, 10, 28,
                    numeric.c_str());
    EXPECT_EQ(nameBox, numberBox);
    expectSamePictures(byName.get(), byNumber.get());
  }
}

TEST(StyledTextDecoding, ReadsCharacterReferencesAndBytesLikeTheLibrary) {
  using Codes = std::vector<std::uint32_t>;
  const auto codes = [](const char* text) { return decodeText(text); };
  const auto literal = [](const std::string& text) {
    Codes result;
    for (const char byte : text) {
      result.push_back(static_cast<unsigned char>(byte));
    }
    return result;
  };
  EXPECT_EQ(codes("&amp;&lt;&thetasym;"), (Codes{38, 60, 977}));
  EXPECT_EQ(codes("&#233;&#99999;&#x263A;&#XfFfF;"), (Codes{233, 99999, 0x263A, 0xFFFF}));
  EXPECT_EQ(codes("&#;&#x;"), (Codes{0, 0}));
  // Too many digits, no ';', unknown or wrongly cased names: literal text.
  EXPECT_EQ(codes("&#123456;"), literal("&#123456;"));
  EXPECT_EQ(codes("&#x12345;"), literal("&#x12345;"));
  EXPECT_EQ(codes("&amp"), literal("&amp"));
  EXPECT_EQ(codes("&AMP;&apos;&;"), literal("&AMP;&apos;&;"));
  EXPECT_EQ(codes("&#12a;"), literal("&#12a;"));
  // UTF-8 of up to three bytes; anything else byte by byte.
  EXPECT_EQ(codes("\xC3\xA9\xE2\x98\xBA"), (Codes{0xE9, 0x263A}));
  EXPECT_EQ(codes("\xE9t\xE9"), (Codes{0xE9, 't', 0xE9}));
  EXPECT_EQ(codes("\xF0\x9F\x98\x80"), (Codes{0xF0, 0x9F, 0x98, 0x80}));
  EXPECT_EQ(codes("\xC3(\xE2\x98"), (Codes{0xC3, '(', 0xE2, 0x98}));
  EXPECT_EQ(codes(""), Codes{});
}

// Synthetic bold makes the text wider and darker, for both fonts and a
// small and a large size; the picture's width comes from the box.
TEST_F(StyledTextTest, BoldIsWiderAndHasMoreInk) {
  for (const std::string& font : {kDejaVuSans, kLiberationSerif}) {
    for (const double size : {16.0, 48.0}) {
      SCOPED_TRACE(font + " " + std::to_string(size));
      const Drawing regular = drawLikeRendering(font, size, "Hello, World", {0, 0}, 80, 100);
      const Drawing bold = drawLikeRendering(font, size, "Hello, World", {1, 0}, 80, 100);
      const Ink regularInk = inkOf(regular.picture.get());
      const Ink boldInk = inkOf(bold.picture.get());
      EXPECT_GT(bold.measured[2] - bold.measured[0], regular.measured[2] - regular.measured[0]);
      EXPECT_GT(boldInk.right - boldInk.left, regularInk.right - regularInk.left);
      EXPECT_GT(static_cast<double>(boldInk.count), 1.15 * static_cast<double>(regularInk.count));
    }
  }
}

// Vertical stems: upright, the ink of the top rows lies over that of the
// bottom rows; slanted, it lies to the right by about tan 12 degrees of the
// height between them.
TEST_F(StyledTextTest, ItalicLeansRight) {
  for (const std::string& font : {kDejaVuSans, kLiberationSerif}) {
    for (const Styled style : {Styled{0, 1}, Styled{1, 1}}) {
      SCOPED_TRACE(font + " bold " + std::to_string(style.bold));
      const Drawing upright = drawLikeRendering(font, 48, "lIl", {style.bold, 0}, 80, 100);
      const Drawing slanted = drawLikeRendering(font, 48, "lIl", style, 80, 100);
      for (const Drawing* drawing : {&upright, &slanted}) {
        const Ink ink = inkOf(drawing->picture.get());
        const int quarter = (ink.bottom - ink.top) / 4;
        const double shift = meanColumn(drawing->picture.get(), ink.top, ink.top + quarter) -
                             meanColumn(drawing->picture.get(), ink.bottom - quarter, ink.bottom);
        const double expected = drawing == &slanted ? 0.2126 * 3 * quarter : 0.0;
        EXPECT_NEAR(shift, expected, 2.0);
      }
    }
  }
}

// For styled text every pixel drawn lies inside the box the drawing call
// returns, the box measured at the origin is that box moved by the origin,
// and a measuring call with the drawing call's arguments gives it exactly.
TEST_F(StyledTextTest, StyledBoxHoldsAllInkAndMeasuringAgreesWithDrawing) {
  const std::vector<std::string> texts = {"Hello, World", "fjord Jaguar {y}", "AVAWAY To",
                                          "\xC3\x85ngstr\xC3\xB6m \xC3\x87" "a", "a\nbc", "Wf  "};
  for (const std::string& font : {kDejaVuSans, kLiberationSerif}) {
    for (const double size : {8.0, 16.0, 48.0}) {
      for (const Styled style : {Styled{1, 0}, Styled{0, 1}, Styled{1, 1}}) {
        for (const std::string& text : texts) {
          SCOPED_TRACE(testing::Message() << font << " " << size << " bold " << style.bold
                                          << " italic " << style.italic << " [" << text << "]");
          const int baseline = static_cast<int>(size * 1.5);
          const Drawing drawing =
              drawLikeRendering(font, size, text.c_str(), style, baseline, baseline * 3);
          const int originX = 1 - drawing.measured[0];
          Box moved = drawing.measured;
          for (std::size_t i = 0; i < moved.size(); ++i) {
            moved[i] += i % 2 == 0 ? originX : baseline;
          }
          EXPECT_EQ(drawing.drawn, moved);
          Box again{};
          gdImageStringFTSA(nullptr, again.data(), -1, font.c_str(), size, 0.0, originX, baseline,
                            text.c_str(), style.bold, style.italic);
          EXPECT_EQ(again, drawing.drawn);

          const Ink ink = inkOf(drawing.picture.get());
          ASSERT_GT(ink.count, 0);
          EXPECT_GE(ink.left, drawing.drawn[0]);
          EXPECT_LE(ink.right, drawing.drawn[2]);
          EXPECT_GE(ink.top, drawing.drawn[5]);
          EXPECT_LE(ink.bottom, drawing.drawn[1]);
          EXPECT_GE(ink.left, 1);
          EXPECT_LE(ink.right, gdImageSX(drawing.picture.get()) - 1);
          // Not a box far larger than the text: close to the ink at the
          // left and the top.
          EXPECT_LE(ink.left - drawing.drawn[0], 2);
          EXPECT_LE(ink.top - drawing.drawn[5], 2);
        }
      }
    }
  }
}

// A negative colour thresholds: only the text colour is added to the
// picture. A positive colour blends the edges into new palette entries.
TEST_F(StyledTextTest, NegativeColourThresholdsAndPositiveColourBlends) {
  for (const bool negative : {true, false}) {
    const Picture picture = makePicture(200, 60, false, true);
    Box box{};
    ASSERT_EQ(gdImageStringFTSA(picture.get(), box.data(), negative ? -1 : 1, kDejaVuSans.c_str(),
                                16, 0.0, 4, 40, "Hello, World", 1, 1),
              nullptr);
    std::vector<int> used(256, 0);
    for (int y = 0; y < 60; ++y) {
      for (int x = 0; x < 200; ++x) {
        ++used[static_cast<std::size_t>(gdImageGetPixel(picture.get(), x, y))];
      }
    }
    EXPECT_GT(used[1], 0);
    if (negative) {
      EXPECT_EQ(gdImageColorsTotal(picture.get()), 2);
    } else {
      EXPECT_GT(gdImageColorsTotal(picture.get()), 2);
      EXPECT_GT(std::count_if(used.begin() + 2, used.end(), [](int n) { return n > 0; }), 0);
    }
  }
}

TEST_F(StyledTextTest, FailuresGiveAnErrorText) {
  test::TempDir dir;
  test::writeFile(dir.file("notafont.ttf"), "this is not a font file");
  const std::string missing = dir.file("missing.ttf");
  Box box{};
  for (const Styled style : {Styled{0, 0}, Styled{1, 0}, Styled{0, 1}}) {
    EXPECT_NE(gdImageStringFTSA(nullptr, box.data(), 0, missing.c_str(), 12, 0.0, 0, 0, "a",
                                style.bold, style.italic),
              nullptr);
  }
  EXPECT_STREQ(ownPlainLayout(nullptr, box.data(), 0, missing.c_str(), 12, 0.0, 0, 0, "a"),
               "Could not find/open font");
  EXPECT_STREQ(gdImageStringFTSA(nullptr, box.data(), 0, dir.file("notafont.ttf").c_str(), 12, 0.0,
                                 0, 0, "a", 1, 0),
               "Could not read font");
  // Only the angle 0 is drawn by the own layout; the plain call rotates.
  EXPECT_NE(gdImageStringFTSA(nullptr, box.data(), 0, kDejaVuSans.c_str(), 12, 0.5, 0, 0, "a", 1, 0),
            nullptr);
  EXPECT_EQ(gdImageStringFTSA(nullptr, box.data(), 0, kDejaVuSans.c_str(), 12, 0.5, 0, 0, "a", 0, 0),
            nullptr);
  // A list: the first file that opens is used.
  const std::string list = missing + ";" + kDejaVuSans;
  EXPECT_EQ(gdImageStringFTSA(nullptr, box.data(), 0, list.c_str(), 12, 0.0, 0, 0, "a", 1, 0),
            nullptr);
  // Empty text is not an error, as with the plain call, and has no extent.
  EXPECT_EQ(gdImageStringFTSA(nullptr, box.data(), 0, kDejaVuSans.c_str(), 12, 0.0, 3, 7, "", 1, 1),
            nullptr);
  EXPECT_EQ(box, (Box{3, 7, 3, 7, 3, 7, 3, 7}));
}

// Several threads drawing at once, with more fonts than faces are kept
// open, give exactly the pictures and boxes of one thread drawing alone.
TEST_F(StyledTextTest, ThreadsDrawingAtOnceGiveIdenticalResults) {
  struct Job {
    std::string font;
    double size;
    Styled style;
  };
  std::vector<Job> jobs;
  const std::vector<std::string> fonts = {
      "dejavu/DejaVuSans.ttf",          "dejavu/DejaVuSerif.ttf",
      "dejavu/DejaVuSansMono.ttf",      "dejavu/DejaVuSansCondensed.ttf",
      "dejavu/DejaVuSerifCondensed.ttf", "dejavu/DejaVuSans-ExtraLight.ttf",
      "liberation/LiberationSerif-Regular.ttf", "liberation/LiberationSans-Regular.ttf",
      "liberation/LiberationMono-Regular.ttf",  "liberation/LiberationSansNarrow-Regular.ttf",
      "liberation/LiberationSerif-Italic.ttf"};
  for (std::size_t i = 0; i < fonts.size(); ++i) {
    jobs.push_back({kFonts + fonts[i], 10.0 + static_cast<double>(i), Styled{1, 0}});
    jobs.push_back({kFonts + fonts[i], 16.0, Styled{0, 1}});
    jobs.push_back({kFonts + fonts[i], 14.0, Styled{static_cast<int>(i % 2), 0}});
  }
  const char* text = "Contact: a@b.example";
  const auto draw = [&](const Job& job, Box& box) {
    Picture picture = makePicture(400, 60, false, false);
    const char* error = gdImageStringFTSA(picture.get(), box.data(), -1, job.font.c_str(), job.size,
                                          0.0, 2, 40, text, job.style.bold, job.style.italic);
    return error == nullptr ? std::move(picture) : Picture();
  };
  std::vector<Box> boxes(jobs.size());
  std::vector<Picture> expected;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    expected.push_back(draw(jobs[i], boxes[i]));
    ASSERT_TRUE(expected.back()) << jobs[i].font;
  }
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 6; ++round) {
        for (std::size_t k = 0; k < jobs.size(); ++k) {
          const std::size_t i = (k * 7 + t * 5 + static_cast<std::size_t>(round)) % jobs.size();
          Box box{};
          const Picture picture = draw(jobs[i], box);
          const bool same = picture && box == boxes[i] &&
                            inkOf(picture.get()).count == inkOf(expected[i].get()).count &&
                            std::equal(picture->pixels, picture->pixels + 60,
                                       expected[i]->pixels, [](unsigned char* a, unsigned char* b) {
                                         return std::equal(a, a + 400, b);
                                       });
          mismatches += same ? 0 : 1;
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace nimbuswatch::textengine
