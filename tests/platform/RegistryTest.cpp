#include "platform/Registry.h"
#include "support/Environment.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace nimbuswatch::test {
namespace {

enum class Encoding { Utf16, Utf8 };

// UTF-8 test text as the registry editor saves it: UTF-16LE with its
// byte-order mark.
std::string toUtf16(const std::string& text) {
  iconv_t converter = ::iconv_open("UTF-16LE", "UTF-8");
  std::string out(4 * text.size() + 2, '\0');
  out[0] = '\xFF';
  out[1] = '\xFE';
  char* in = const_cast<char*>(text.data());
  std::size_t inLeft = text.size();
  char* to = out.data() + 2;
  std::size_t outLeft = out.size() - 2;
  if (::iconv(converter, &in, &inLeft, &to, &outLeft) == static_cast<std::size_t>(-1)) {
    throw std::runtime_error("iconv failed");
  }
  ::iconv_close(converter);
  out.resize(out.size() - outLeft);
  return out;
}

class RegistryTest : public ::testing::Test {
 protected:
  void writeExport(const std::vector<std::string>& lines, Encoding encoding) {
    std::string text;
    for (const std::string& line : lines) {
      text += line + "\r\n";
    }
    writeFile(path, encoding == Encoding::Utf16 ? toUtf16(text) : text);
  }

  std::optional<std::string> read(const char* name) {
    char buffer[platform::kRegistryValueSize];
    std::uint32_t size = platform::kRegistryValueSize;
    if (platform::readRegistryValue(name, buffer, size) != 0) {
      return std::nullopt;
    }
    EXPECT_EQ(size, std::char_traits<char>::length(buffer) + 1) << name;
    return std::string(buffer);
  }

  TempDir dir;
  std::string path = dir.file("nimbuswatch.reg");
  ScopedEnvironment registry{"NIMBUSWATCH_REGISTRY", path};
};

const std::string kHeader = "Windows Registry Editor Version 5.00";

TEST_F(RegistryTest, ReadsStringValuesOfOurKeyOnlyInBothEncodings) {
  for (Encoding encoding : {Encoding::Utf16, Encoding::Utf8}) {
    writeExport({kHeader, "",
                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Nimbuswatch\\Fonts]", "\"FontsDir\"=\"sub key\"", "",
                 "[HKEY_CURRENT_USER\\SOFTWARE\\Nimbuswatch]", "\"LogFile\"=\"other hive\"", "",
                 "[HKEY_LOCAL_MACHINE\\Software\\NIMBUSWATCH]",
                 "\"LogFile\"=\"C:\\\\logs\\\\nimbus.log\"",
                 "\"DefaultFontFace\"=\"say \\\"hi\\\" to Stra\u00dfe \U0001F600\"",
                 "\"DefaultFontSize\"=dword:0000000c",
                 "\"SpoolDir\"=hex(2):43,00,3a,00,5c,00,\\", "  00,00",
                 "\"ImagesDir\"=\"\"",
                 "\"ImagesURL\"=\"/first/\"", "\"imagesurl\" = \"/textimages/\"", "",
                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\NimbuswatchOld]", "\"SpoolDir\"=\"other key\""},
                encoding);
    EXPECT_EQ(read("LogFile"), "C:\\logs\\nimbus.log");
    EXPECT_EQ(read("LOGFILE"), "C:\\logs\\nimbus.log");
    EXPECT_EQ(read("DefaultFontFace"), "say \"hi\" to Stra\u00dfe \U0001F600");
    EXPECT_EQ(read("ImagesDir"), "");
    EXPECT_EQ(read("ImagesURL"), "/textimages/");  // the last assignment counts
    EXPECT_EQ(read("DefaultFontSize"), std::nullopt);
    EXPECT_EQ(read("SpoolDir"), std::nullopt);
    EXPECT_EQ(read("FontsDir"), std::nullopt);
  }
}

TEST_F(RegistryTest, ValueMustFitTheBufferWithItsNul) {
  for (Encoding encoding : {Encoding::Utf16, Encoding::Utf8}) {
    // "\u00e4" is two bytes of UTF-8: the limit counts the bytes handed out.
    std::string wide;
    for (int i = 0; i < 511; ++i) {
      wide += "\u00e4";
    }
    writeExport({kHeader, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Nimbuswatch]",
                 "\"Fits\"=\"" + std::string(1023, 'x') + "\"", "\"TooLong\"=\"" + std::string(1024, 'x') + "\"",
                 "\"WideFits\"=\"" + wide + "x\"", "\"WideTooLong\"=\"" + wide + "xy\""},
                encoding);
    EXPECT_EQ(read("Fits"), std::string(1023, 'x'));
    EXPECT_EQ(read("TooLong"), std::nullopt);
    EXPECT_EQ(read("WideFits"), wide + "x");
    EXPECT_EQ(read("WideTooLong"), std::nullopt);
  }
}

TEST_F(RegistryTest, MissingOrMalformedFilesGiveNoValuesAndBadLinesAreSkipped) {
  const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Nimbuswatch]";
  EXPECT_EQ(read("LogFile"), std::nullopt) << "no file";
  for (const std::string& content :
       {std::string(), key + "\r\n\"LogFile\"=\"x\"\r\n", "Windows Registry Editor Version 4.00\r\n" + key +
        "\r\n\"LogFile\"=\"x\"\r\n", std::string("\xFE\xFF\x00W\x00i", 6), std::string("\x00\x01\xFF\x80", 4)}) {
    writeFile(path, content);
    EXPECT_EQ(read("LogFile"), std::nullopt) << content;
  }

  // REGEDIT4, a UTF-8 byte-order mark and bare line feeds are all accepted.
  writeFile(path, "\xEF\xBB\xBFREGEDIT4\n" + key + "\n\"LogFile\"=\"unterminated\n\"SpoolDir\"=\"bad \\n escape\"\n" +
                      "\"ImagesDir\"=\"c:\\\\images\\\\\" trailing\n\"FontsDir\"=\"fonts/\"\n\"ImagesURL\"=\"/i/\"\n" +
                      "\"ImagesURL\"=-\n");
  EXPECT_EQ(read("LogFile"), std::nullopt);
  EXPECT_EQ(read("SpoolDir"), std::nullopt);
  EXPECT_EQ(read("ImagesDir"), std::nullopt);
  EXPECT_EQ(read("FontsDir"), "fonts/");
  EXPECT_EQ(read("ImagesURL"), std::nullopt) << "deleted again";

  ScopedEnvironment directory{"NIMBUSWATCH_REGISTRY", dir.path()};
  EXPECT_EQ(read("FontsDir"), std::nullopt);
}

}  // namespace
}  // namespace nimbuswatch::test
