#include "Settings/FontCatalogue.h"
#include "Settings/TraceCapture.h"
#include "support/FontsDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

namespace nimbuswatch::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct Pick {
  std::string file;
  int bold;
  int italic;
  bool operator==(const Pick&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Pick& pick) {
  return out << pick.file << " bold=" << pick.bold << " italic=" << pick.italic;
}

Pick pick(const FontCatalogue& fonts, const std::string& family, int bold, int italic) {
  std::string file = findFace(fonts, family, bold, italic);
  return {file, bold, italic};
}

std::vector<std::string> styles(const FontCatalogue& fonts, const std::string& family) {
  std::vector<std::string> names;
  for (const FontRecord& record : fonts.at(family)) {
    names.push_back(record.styleName + "@" + record.fileName);
  }
  return names;
}

class FontCatalogueTest : public ::testing::Test {
 protected:
  TraceCapture trace;
  FontsDir dir;
};

TEST_F(FontCatalogueTest, FourStylesInListingOrderBoldBoldItalicItalicRegular) {
  dir.addLiberationSerif();
  const FontCatalogue fonts = buildCatalogue(dir.path());
  EXPECT_THAT(styles(fonts, "liberation serif"),
              ElementsAre("Bold@LiberationSerif-Bold.ttf", "Bold Italic@LiberationSerif-BoldItalic.ttf",
                          "Italic@LiberationSerif-Italic.ttf", "Regular@LiberationSerif-Regular.ttf"));
  EXPECT_EQ(pick(fonts, "liberation serif", 0, 0), (Pick{"LiberationSerif-Regular.ttf", 0, 0}));
  EXPECT_EQ(pick(fonts, "liberation serif", 1, 0), (Pick{"LiberationSerif-Bold.ttf", 0, 0}));
  EXPECT_EQ(pick(fonts, "liberation serif", 0, 1), (Pick{"LiberationSerif-Italic.ttf", 0, 0}));
  // Record by record: the Bold face comes first and answers the bold wish only.
  EXPECT_EQ(pick(fonts, "liberation serif", 1, 1), (Pick{"LiberationSerif-Bold.ttf", 0, 1}));
  // Only a flag of exactly 1 is a wish.
  EXPECT_EQ(pick(fonts, "liberation serif", 2, 0), (Pick{"LiberationSerif-Regular.ttf", 2, 0}));
  EXPECT_EQ(pick(fonts, "liberation serif", -1, 2), (Pick{"LiberationSerif-Regular.ttf", -1, 2}));
}

TEST_F(FontCatalogueTest, BoldItalicListedFirstAnswersBothWishes) {
  dir.link(kLiberationDir + "LiberationSerif-BoldItalic.ttf", "a.ttf")
      .link(kLiberationDir + "LiberationSerif-Regular.ttf", "b.ttf")
      .link(kLiberationDir + "LiberationSerif-Italic.ttf", "c.ttf")
      .link(kLiberationDir + "LiberationSerif-Bold.ttf", "d.ttf");
  const FontCatalogue fonts = buildCatalogue(dir.path());
  EXPECT_EQ(pick(fonts, "liberation serif", 1, 1), (Pick{"a.ttf", 0, 0}));
  EXPECT_EQ(pick(fonts, "liberation serif", 0, 1), (Pick{"c.ttf", 0, 0}));
  EXPECT_EQ(pick(fonts, "liberation serif", 1, 0), (Pick{"d.ttf", 0, 0}));
  EXPECT_EQ(pick(fonts, "liberation serif", 0, 0), (Pick{"b.ttf", 0, 0}));
}

TEST_F(FontCatalogueTest, MissingStylesFallBackToRegularOrTheFamily) {
  dir.link(kLiberationDir + "LiberationSans-Regular.ttf")
      .link(kLiberationDir + "LiberationMono-Bold.ttf")
      .link(kDejaVuDir + "DejaVuSans.ttf")
      .link(kDejaVuDir + "DejaVuSans-Bold.ttf")
      .link(kDejaVuDir + "DejaVuSans-Oblique.ttf")
      .link(kDejaVuDir + "DejaVuSans-BoldOblique.ttf");
  const FontCatalogue fonts = buildCatalogue(dir.path());
  // Only Regular: the Regular file, with the wishes left for the renderer.
  EXPECT_EQ(pick(fonts, "liberation sans", 1, 1), (Pick{"LiberationSans-Regular.ttf", 1, 1}));
  // Only Bold, asked for neither: no Regular face, so the family itself.
  EXPECT_EQ(pick(fonts, "liberation mono", 0, 0), (Pick{"liberation mono", 0, 0}));
  // DejaVu Sans has Book and Oblique faces, which no lookup chooses.
  EXPECT_EQ(pick(fonts, "dejavu sans", 0, 1), (Pick{"dejavu sans", 0, 1}));
  EXPECT_EQ(pick(fonts, "dejavu sans", 1, 1), (Pick{"DejaVuSans-Bold.ttf", 0, 1}));
  EXPECT_EQ(pick(fonts, "dejavu sans", 0, 0), (Pick{"dejavu sans", 0, 0}));
  // Unknown and upper-case families are returned as they came.
  EXPECT_EQ(pick(fonts, "Liberation Sans", 1, 0), (Pick{"Liberation Sans", 1, 0}));
  EXPECT_EQ(pick(fonts, "nosuch", 0, 1), (Pick{"nosuch", 0, 1}));
}

TEST_F(FontCatalogueTest, TracesFacesAndLookups) {
  dir.link(kLiberationDir + "LiberationSerif-Regular.ttf").link(kLiberationDir + "LiberationSerif-Italic.ttf");
  const FontCatalogue fonts = buildCatalogue(dir.path());
  EXPECT_EQ(pick(fonts, "Liberation Serif", 0, 1).file, "Liberation Serif");
  EXPECT_EQ(pick(fonts, "liberation serif", 0, 1).file, "LiberationSerif-Italic.ttf");
  const std::string hyphens37(37, '-');
  const std::string hyphens26(26, '-');
  EXPECT_THAT(trace.lines(),
              ElementsAre("Liberation Serif", "LiberationSerif-Italic.ttf", "Italic", hyphens37,  //
                          "Liberation Serif", "LiberationSerif-Regular.ttf", "Regular", hyphens37,  //
                          "Liberation Serif",                                                        //
                          "liberation serif", "Start  find", "In for",                               //
                          "in italic:", "liberation serif", "Italic", hyphens26));
  EXPECT_TRUE(trace.raw().ends_with(hyphens26 + " \n"));
}

TEST_F(FontCatalogueTest, ListsOnlyFontFilesNamedDotTtfInThatCase) {
  dir.link(kLiberationDir + "LiberationSerif-Regular.ttf", "upper.TTF")
      .link(kLiberationDir + "LiberationSerif-Bold.ttf", "bold.ttf.bak")
      .write("notes.ttf", "this is not a font\n");
  const FontCatalogue fonts = buildCatalogue(dir.path());
#if defined(_WIN32)
  // The runtime's listing matches names without regard to letter case.
  EXPECT_THAT(styles(fonts, "liberation serif"), ElementsAre("Regular@upper.TTF"));
  EXPECT_THAT(trace.lines(), ElementsAre("Error SetFontInfo", "Liberation Serif", "upper.TTF", "Regular",
                                         std::string(37, '-')));
#else
  EXPECT_THAT(fonts, IsEmpty());
  EXPECT_THAT(trace.lines(), ElementsAre("Error SetFontInfo"));
#endif
  const std::vector<std::string> traced = trace.lines();

  const FontsDir empty;
  EXPECT_THAT(buildCatalogue(empty.path()), IsEmpty());
  EXPECT_THAT(buildCatalogue(empty.path() + "missing/"), IsEmpty());
  EXPECT_EQ(trace.lines(), traced);
}

}  // namespace
}  // namespace nimbuswatch::test
