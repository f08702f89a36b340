// GIF rendering seen through its pictures: size, palette, interlacing and
// where the ink lies, for the styles, sizes, families and the fallback font.
#include "CoreRequestHandler/ImageRequestFixture.h"

namespace nimbuswatch::test {
namespace {

const std::string kSerifRegular = kLiberationDir + "LiberationSerif-Regular.ttf";
const std::string kSerifBold = kLiberationDir + "LiberationSerif-Bold.ttf";
const std::string kText = "mail@example.org 42";

using GifRendererTest = ImageRequestTest;

TEST_F(GifRendererTest, PlainTextIsAsWideAsItsBoxAsHighAsTheLineOnTransparentWhite) {
  startWithSerif();
  const Picture picture = draw(kText, {{"font", "\"Liberation Serif\""}, {"size", "16"}});
  ASSERT_TRUE(picture);

  EXPECT_EQ(picture.width(), measuredWidth(kSerifRegular, 16, kText));
  EXPECT_EQ(picture.height(), faceMetrics(kSerifRegular, 16).height);
  EXPECT_TRUE(gdImageGetInterlaced(picture.get()));
  EXPECT_EQ(gdImageGetTransparent(picture.get()), 0);
  EXPECT_EQ(gdImageRed(picture.get(), 0), 255);
  EXPECT_EQ(gdImageGreen(picture.get(), 0), 255);
  EXPECT_EQ(gdImageBlue(picture.get(), 0), 255);
  EXPECT_EQ(gdImageRed(picture.get(), 1) + gdImageGreen(picture.get(), 1) + gdImageBlue(picture.get(), 1), 0);
  // One pixel of margin on the left; the text is there.
  EXPECT_EQ(picture.inkInColumn(0), 0);
  EXPECT_GE(picture.firstInkColumn(), 1);
  EXPECT_LE(picture.firstInkColumn(), 3);
  EXPECT_GT(picture.inkTotal(), 200);
  EXPECT_TRUE(logged("notice: first rendering font=[" + fonts.path() + "LiberationSerif-Regular.ttf], fontsize=16, text=[" + kText + "]"));
  EXPECT_TRUE(logged("info: font global dir=[" + fonts.path() + "]"));
}

TEST_F(GifRendererTest, ColoursComeInPaletteOrderWithoutAntiAliasing) {
  startWithSerif();
  const Picture picture = draw(kText, {{"font", "'liberation serif'"}, {"bgcolor", "#FF8000"}, {"color", "Navy"}});
  ASSERT_TRUE(picture);
  EXPECT_EQ(gdImageGetTransparent(picture.get()), -1);
  EXPECT_EQ(gdImageRed(picture.get(), 0), 255);
  EXPECT_EQ(gdImageGreen(picture.get(), 0), 128);
  EXPECT_EQ(gdImageBlue(picture.get(), 0), 0);
  EXPECT_EQ(gdImageRed(picture.get(), 1), 0);
  EXPECT_EQ(gdImageBlue(picture.get(), 1), 128);
  for (int y = 0; y < picture.height(); ++y) {
    for (int x = 0; x < picture.width(); ++x) {
      ASSERT_LE(gdImageGetPixel(picture.get(), x, y), 1) << x << "," << y;
    }
  }

  // Names the parser does not know: transparent white and black.
  const Picture unknown = draw(kText, {{"font", "'liberation serif'"}, {"bgcolor", "grey"}, {"color", "#fff"}});
  ASSERT_TRUE(unknown);
  EXPECT_EQ(gdImageGetTransparent(unknown.get()), 0);
  EXPECT_EQ(gdImageRed(unknown.get(), 1) + gdImageGreen(unknown.get(), 1) + gdImageBlue(unknown.get(), 1), 0);
}

// A family with a Regular face only: bold and italic are drawn synthetically.
TEST_F(GifRendererTest, SyntheticBoldIsWiderAndSyntheticItalicLeansRight) {
  fonts.link(kLiberationDir + "LiberationSans-Regular.ttf").addTimes();
  start();
  const std::string bars = "IIIIIIIIII";
  const Attributes sans = {{"font", "'Liberation Sans'"}, {"size", "30"}};
  const auto styled = [&](const std::string& style) {
    Attributes attributes = sans;
    attributes["style"] = style;
    return draw(bars, attributes);
  };
  const Picture regular = draw(bars, sans);
  const Picture bold = styled("bold");
  const Picture italic = styled("italic");
  const Picture both = styled("italic;bold");
  ASSERT_TRUE(regular && bold && italic && both);

  EXPECT_GT(bold.width(), regular.width());
  EXPECT_GT(bold.inkTotal(), regular.inkTotal() * 5 / 4);
  EXPECT_GT(both.width(), italic.width());
  const int baseline = faceMetrics(kLiberationDir + "LiberationSans-Regular.ttf", 30).ascent;
  const auto lean = [&](const Picture& picture) {
    return picture.meanInkColumn(0, baseline / 3) - picture.meanInkColumn(baseline * 2 / 3, baseline - 1);
  };
  EXPECT_NEAR(lean(regular), 0.0, 0.5);
  EXPECT_NEAR(lean(bold), 0.0, 0.5);
  EXPECT_GT(lean(italic), 2.0);
  EXPECT_GT(lean(both), 2.0);
  for (const Picture* picture : {&regular, &bold, &italic, &both}) {
    EXPECT_EQ(picture->inkInColumn(0), 0);
    EXPECT_EQ(picture->height(), regular.height());
  }
}

TEST_F(GifRendererTest, ARealBoldFaceIsDrawnAsItIs) {
  startWithSerif();
  const Picture bold = draw(kText, {{"font", "'liberation serif'"}, {"style", "Bold"}, {"size", "16"}});
  ASSERT_TRUE(bold);
  EXPECT_EQ(bold.width(), measuredWidth(kSerifBold, 16, kText));
  EXPECT_EQ(lastRendering(), "notice: first rendering font=[" + fonts.path() + "LiberationSerif-Bold.ttf], fontsize=16, text=[" + kText + "]");
}

// The line lies just below the baseline, where the face puts it, at every
// size, and always inside the picture.
TEST_F(GifRendererTest, UnderlineLiesBelowTheBaselineInsideThePicture) {
  startWithSerif();
  for (const int size : {6, 16, 120}) {
    SCOPED_TRACE(size);
    const FaceMetrics metrics = faceMetrics(kSerifRegular, size);
    const Attributes plain = {{"font", "'liberation serif'"}, {"size", std::to_string(size)}};
    Attributes underlined = plain;
    underlined["style"] = "underline";
    const Picture without = draw("Hello", plain);
    const Picture with = draw("Hello", underlined);
    ASSERT_TRUE(without && with);

    EXPECT_TRUE(without.underlineRows(metrics.ascent).empty());
    const std::vector<int> rows = with.underlineRows(metrics.ascent);
    ASSERT_FALSE(rows.empty());
    EXPECT_LE(rows.back(), with.height() - 1);
    EXPECT_LE(rows.front() - metrics.ascent, std::max(2, size * 96 / 72 / 6));
    // The line spans the box: one column of margin on either side.
    EXPECT_EQ(with.inkInColumn(0), 0);
    EXPECT_EQ(with.inkInColumn(with.width() - 1), 0);
  }
}

// Synthetic bold gets one more row of underline; a real bold face brings
// its own thickness.
TEST_F(GifRendererTest, BoldUnderlineIsThicker) {
  fonts.addLiberationSerif().link(kLiberationDir + "LiberationSans-Regular.ttf").addTimes();
  start();
  const auto rows = [&](const std::string& family, const std::string& style, const std::string& face) {
    const Picture picture = draw("Hello", {{"font", family}, {"size", "16"}, {"style", style}});
    return picture ? picture.underlineRows(faceMetrics(kLiberationDir + face, 16).ascent).size() : 0u;
  };
  const std::string sans = "LiberationSans-Regular.ttf";
  EXPECT_EQ(rows("'liberation sans'", "bold,underline", sans), rows("'liberation sans'", "underline", sans) + 1);
  EXPECT_GE(rows("'liberation serif'", "bold,underline", "LiberationSerif-Bold.ttf"),
            rows("'liberation serif'", "underline", "LiberationSerif-Regular.ttf"));
}

TEST_F(GifRendererTest, LargestSizeDrawsAndAPictureBeyondTheGifLimitIsRefused) {
  startWithSerif();
  const Picture large = draw("Hg", {{"font", "'liberation serif'"}, {"size", "400"}});
  ASSERT_TRUE(large);
  EXPECT_EQ(large.height(), faceMetrics(kSerifRegular, 400).height);
  EXPECT_EQ(large.width(), measuredWidth(kSerifRegular, 400, "Hg"));

  const std::string wide(150, 'W');
  EXPECT_TRUE(request(wide, {{"font", "'liberation serif'"}, {"size", "400"}}).empty());
  const int width = measuredWidth(kSerifRegular, 400, wide);
  ASSERT_GT(width, 65535);
  EXPECT_TRUE(logged("error: picture of " + std::to_string(width) + " x " +
                     std::to_string(faceMetrics(kSerifRegular, 400).height) + " pixels is too large for a GIF"));
  EXPECT_EQ(listDirectory(images.path()).size(), 1u);
}

TEST_F(GifRendererTest, SizeIsReadLikeADecimalAndKeptWithinOneTo400) {
  startWithSerif({{"DefaultFontSize", "14"}});
  const std::vector<std::pair<std::string, int>> cases = {
      {"12pt", 12}, {" 7", 7}, {"+9", 9}, {"0", 10}, {"401", 10}, {"-5", 10}, {"abc", 10},
      {"400", 400}, {"1", 1}, {"99999999999999999999", 10}, {"", 14}};
  for (const auto& [size, expected] : cases) {
    Attributes attributes = {{"font", "'liberation serif'"}};
    if (!size.empty()) attributes["size"] = "'" + size + "'";
    ASSERT_FALSE(request("x", attributes).empty()) << size;
    EXPECT_EQ(lastRendering(), "notice: first rendering font=[" + fonts.path() +
                                   "LiberationSerif-Regular.ttf], fontsize=" + std::to_string(expected) + ", text=[x]")
        << size;
  }
  start();
  ASSERT_FALSE(request("y", {{"font", "'liberation serif'"}}).empty());
  EXPECT_EQ(lastRendering(), "notice: first rendering font=[" + fonts.path() +
                                 "LiberationSerif-Regular.ttf], fontsize=10, text=[y]");
}

TEST_F(GifRendererTest, FamilyIsLowerCasedTrimmedOrTakenFromTheDefault) {
  startWithSerif({{"DefaultFontFace", "Liberation Serif"}});
  ASSERT_FALSE(request("a", {{"font", "'  LIBERATION Serif  '"}, {"size", "16"}}).empty());
  EXPECT_EQ(lastRendering(), "notice: first rendering font=[" + fonts.path() +
                                 "LiberationSerif-Regular.ttf], fontsize=16, text=[a]");
  ASSERT_FALSE(request("b", {{"size", "16"}, {"style", "italic"}}).empty());
  EXPECT_EQ(lastRendering(), "notice: first rendering font=[" + fonts.path() +
                                 "LiberationSerif-Italic.ttf], fontsize=16, text=[b]");
}

TEST_F(GifRendererTest, AnUnusableFontFallsBackToTimesAt12Points) {
  startWithSerif();
  const Picture picture = draw(kText, {{"font", "'No Such Family'"}, {"size", "30"}});
  ASSERT_TRUE(picture);
  EXPECT_TRUE(logged("notice: first rendering font=[" + fonts.path() + "no such family.ttf], fontsize=30, text=[" + kText + "]"));
  EXPECT_TRUE(logged("info: first rendering error font=[" + fonts.path() + "times.ttf], fontsize=12, text=[" + kText + "]"));
  EXPECT_EQ(picture.height(), faceMetrics(fonts.path() + "times.ttf", 12).height);
  EXPECT_EQ(picture.width(), measuredWidth(fonts.path() + "times.ttf", 12, kText));

  // The fallback is measured with the styles it is drawn with, so a
  // synthetic bold fits.
  const Picture bold = draw(kText, {{"font", "'No Such Family'"}, {"style", "bold"}});
  ASSERT_TRUE(bold);
  EXPECT_EQ(bold.width(), measuredWidth(fonts.path() + "times.ttf", 12, kText, 1, 0));
  EXPECT_GT(bold.width(), picture.width());
  EXPECT_EQ(bold.inkInColumn(bold.width() - 1), 0);
}

// A family from the page never leads to a file outside the fonts directory,
// even where one exists under that name.
TEST_F(GifRendererTest, AFamilyHoldingPathBytesIsNeverOpened) {
  fonts.addTimes();
  std::filesystem::create_directory(fonts.path() + "sub");
  fonts.link(kDejaVuDir + "DejaVuSans.ttf", "sub/x.ttf");
#if !defined(_WIN32)
  fonts.link(kDejaVuDir + "DejaVuSans.ttf", "c:x.ttf");  // no file name on Windows
#endif
  start();
  for (const std::string family : {"sub/x", "sub\\x", "c:x"}) {
    ASSERT_FALSE(request(family, {{"font", family}, {"size", "20"}}).empty()) << family;
    EXPECT_TRUE(logged("info: first rendering error font=[" + fonts.path() + "times.ttf], fontsize=12, text=[" + family + "]"))
        << family;
  }
}

TEST_F(GifRendererTest, WithoutTheFallbackFontNothingIsDrawn) {
  fonts.addLiberationSerif();
  start();
  EXPECT_TRUE(request(kText, {{"font", "'No Such Family'"}}).empty());
  const std::vector<std::string> lines = log();
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines.back().starts_with("error: first Fatal GD library error: ")) << lines.back();
  EXPECT_TRUE(listDirectory(images.path()).empty());
}

TEST_F(GifRendererTest, EmptyTextDrawsNothing) {
  startWithSerif();
  EXPECT_TRUE(request("", {{"font", "'liberation serif'"}}).empty());
  EXPECT_TRUE(logged("notice: empty text"));
  EXPECT_TRUE(listDirectory(images.path()).empty());
}

}  // namespace
}  // namespace nimbuswatch::test
