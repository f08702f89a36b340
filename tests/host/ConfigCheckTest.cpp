// The host's check of the filter's configuration, and the escaping of what
// the host writes to its log.
#include "host/http/ServerNames.h"
#include "host/config/ExampleSite.h"
#include "host/HostLog.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>

namespace nimbuswatch::host {
namespace {

using test::TempDir;
using test::writeFile;

const char* const kFont = "/usr/share/fonts/truetype/liberation/LiberationSerif-Regular.ttf";

// Points the registry reader at `file` for one test.
class RegistryFile {
 public:
  explicit RegistryFile(const std::string& file) {
    if (const char* old = std::getenv("NIMBUSWATCH_REGISTRY")) {
      saved = old;
    }
    ::setenv("NIMBUSWATCH_REGISTRY", file.c_str(), 1);
  }
  ~RegistryFile() {
    if (saved.empty()) {
      ::unsetenv("NIMBUSWATCH_REGISTRY");
    } else {
      ::setenv("NIMBUSWATCH_REGISTRY", saved.c_str(), 1);
    }
  }

 private:
  std::string saved;
};

std::string exportText(const std::map<std::string, std::string>& values) {
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Nimbuswatch]\r\n";
  for (const auto& [name, value] : values) {
    text += "\"" + name + "\"=\"" + value + "\"\r\n";
  }
  return text;
}

std::string utf16(const std::string& text, bool byteOrderMark) {
  std::string out = byteOrderMark ? "\xFF\xFE" : "";
  for (const char c : text) {
    out += c;
    out += '\0';
  }
  return out;
}

TEST(ConfigCheckTest, NamesWhatMakesAConfigurationUnusable) {
  TempDir dir;
  for (const char* sub : {"spool", "images", "fonts", "bare"}) {
    std::filesystem::create_directories(dir.file(sub));
  }
  std::filesystem::create_symlink(kFont, dir.file("fonts/times.ttf"));
  writeFile(dir.file("bare/times.ttf"), "not a font");
  const std::map<std::string, std::string> good{{"SpoolDir", dir.file("spool/")},
                                                {"ImagesDir", dir.file("images/")},
                                                {"FontsDir", dir.file("fonts/")},
                                                {"ImagesURL", "/textimages/"}};
  auto with = [&good](const std::string& name, const std::string& value) {
    auto values = good;
    values[name] = value;
    return exportText(values);
  };
  auto without = [&good](const std::string& name) {
    auto values = good;
    values.erase(name);
    return exportText(values);
  };
  const std::vector<std::pair<std::string, std::string>> cases{
      {exportText(good), ""},
      {"\xEF\xBB\xBF" + exportText(good), ""},
      {utf16(exportText(good), true), ""},
      {utf16(exportText(good), false), "it is UTF-16 without a byte-order mark"},
      {"\x89PNG\r\n\x1A\n\x00\x00\x00\x0DIHDR", "it is neither UTF-8 nor UTF-16 with a byte-order mark"},
      {std::string(17 * 1024 * 1024, ' '), "it is larger than 16 MiB"},
      {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Nimbuswatch]\r\n", "it is not a registry export"},
      {without("SpoolDir"), "SpoolDir is not set"},
      {with("SpoolDir", dir.file("nowhere/")), "SpoolDir \"" + dir.file("nowhere/") + "\" is not an existing directory"},
      {with("ImagesDir", "/proc/"), "ImagesDir \"/proc/\" is not writable"},
      {with("FontsDir", dir.file("fonts")), "FontsDir \"" + dir.file("fonts") + "\" does not end with \"/\""},
      {with("FontsDir", dir.file("spool/")), "holds no times.ttf, the fallback font"},
      {with("FontsDir", dir.file("bare/")), "times.ttf\" is not a readable TrueType font"},
      {with("ImagesURL", "textimages/"), "ImagesURL \"textimages/\" does not begin and end with \"/\""},
      {with("ImagesURL", "/a\tb"), "ImagesURL \"/a\\x09b\" does not begin"},
      {without("ImagesURL"), "ImagesURL is not set"},
  };
  const RegistryFile registry(dir.file("nimbuswatch.reg"));
  for (const auto& [content, expected] : cases) {
    writeFile(dir.file("nimbuswatch.reg"), content);
    const ConfigReport report = checkConfig();
    const std::string line = problemLine(report);
    if (expected.empty()) {
      EXPECT_EQ(line, "") << content.substr(0, 10);
      EXPECT_EQ(report.fontsDir, dir.file("fonts/"));
      EXPECT_EQ(report.fonts, std::vector<std::string>{"times.ttf"});
    } else {
      EXPECT_EQ(report.problems.size(), 1u) << line;
      EXPECT_NE(line.find(expected), std::string::npos) << line;
    }
  }
  std::filesystem::remove(dir.file("nimbuswatch.reg"));
  EXPECT_NE(problemLine(checkConfig()).find("cannot read it: "), std::string::npos);
}

TEST(ConfigCheckTest, TheExampleSiteConfigurationPasses) {
  TempDir dir;
  ExampleSite site;
  ASSERT_EQ(prepareExampleSite(dir.file("state"), site), "");
  const RegistryFile registry(site.configFile);
  const ConfigReport report = checkConfig();
  EXPECT_EQ(problemLine(report), "");
  EXPECT_EQ(report.encoding, "UTF-8");
  EXPECT_GT(report.fonts.size(), 10u);
  // What --check prints: the directories, each family with its styles and
  // files, and the face the fallback file holds.
  const std::string text = reportText(report);
  for (const std::string& expected :
       std::vector<std::string>{"SpoolDir:  " + dir.file("state/spool/"), "ImagesURL: /textimages/",
                                "\n  liberation sans: ", "Bold Italic (liberationsans-bolditalic.ttf)",
                                "\nfallback: times.ttf: liberation serif Regular\n"}) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected << " in\n" << text;
  }
}

TEST(HostLogTest, LoggedValuesStayOnOneLineAndWithinBounds) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"/plain/path?q=1", "/plain/path?q=1"},
      {"/a\nforged: line", "/a\\x0aforged: line"},
      {std::string("/\0\r\x1f\x7f", 5), "/\\x00\\x0d\\x1f\\x7f"},
      {"/caf\xC3\xA9", "/caf\xC3\xA9"},
      {std::string(1030, 'a'), std::string(1024, 'a') + "..."},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(logValue(value), expected);
  }
}

}  // namespace
}  // namespace nimbuswatch::host
