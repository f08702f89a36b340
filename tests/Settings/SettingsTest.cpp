#include "Settings/Settings.h"
#include "Settings/TraceCapture.h"
#include "support/FontsDir.h"
#include "support/RegistryKey.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace nimbuswatch::test {
namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void writeKey(const ScopedRegistryKey::Values& values) { registry.write(values); }

  TraceCapture trace;
  ScopedRegistryKey registry;
};

TEST_F(SettingsTest, ReadsTheSevenValuesByExactName) {
  FontsDir fonts;
  fonts.link(kLiberationDir + "LiberationSerif-Bold.ttf");
  writeKey({{"LogFile", "/var/log/nimbuswatch.log"}, {"ImagesDir", "/srv/images/"}, {"FontsDir", fonts.path()},
            {"SpoolDir", "/srv/spool/"}, {"ImagesURL", "/textimages/"}, {"DefaultFontFace", "liberation serif"},
            {"DefaultFontSize", "14"}, {"Other", "not read"}});
  const Settings settings;
  EXPECT_STREQ(settings.get("LogFile"), "/var/log/nimbuswatch.log");
  EXPECT_STREQ(settings.get("ImagesDir"), "/srv/images/");
  EXPECT_EQ(settings.get("FontsDir"), fonts.path());
  EXPECT_STREQ(settings.get("SpoolDir"), "/srv/spool/");
  EXPECT_STREQ(settings.get("ImagesURL"), "/textimages/");
  EXPECT_STREQ(settings.get("DefaultFontFace"), "liberation serif");
  EXPECT_STREQ(settings.get("DefaultFontSize"), "14");
  EXPECT_STREQ(settings.get("Other"), "");
  EXPECT_STREQ(settings.get("logfile"), "");
  int bold = 1;
  int italic = 1;
  EXPECT_EQ(settings.findFace("liberation serif", bold, italic), "LiberationSerif-Bold.ttf");
}

TEST_F(SettingsTest, EveryStartAppendsToTheTrace) {
  writeKey({});
  { const Settings first; }
  { const Settings second; }
  EXPECT_EQ(trace.raw(), "Start \nStart \n");
}

TEST_F(SettingsTest, WithoutTheKeyValuesAreEmptyAndFontsComeFromTheCurrentDirectory) {
  FontsDir fonts;
  fonts.addLiberationSerif();
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(fonts.path());
  const Settings settings;
  std::filesystem::current_path(previous);

  for (const char* name : {"LogFile", "ImagesDir", "FontsDir", "SpoolDir", "ImagesURL", "DefaultFontFace",
                           "DefaultFontSize"}) {
    EXPECT_STREQ(settings.get(name), "") << name;
  }
  int bold = 0;
  int italic = 1;
  EXPECT_EQ(settings.findFace("liberation serif", bold, italic), "LiberationSerif-Italic.ttf");
  EXPECT_EQ(trace.lines().front(), "Start");
}

TEST_F(SettingsTest, MissingTraceDirectoryDropsTheLinesOnly) {
#if defined(_WIN32)
  GTEST_SKIP() << "the trace directory is c:\\temp on Windows, which the other tests need";
#endif
  ScopedEnvironment tmpdir{"TMPDIR", "/nonexistent-nimbuswatch-dir"};
  writeKey({{"ImagesURL", "/textimages/"}});
  const Settings settings;
  EXPECT_STREQ(settings.get("ImagesURL"), "/textimages/");
}

}  // namespace
}  // namespace nimbuswatch::test
