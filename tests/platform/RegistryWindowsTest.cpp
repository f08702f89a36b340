// The registry layer of the Windows build against the real registry (the
// tests' own Wine prefix): what RegQueryValueExA hands out, and what the
// settings must never be handed.
#include "platform/Registry.h"
#include "support/RegistryKey.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace nimbuswatch::test {
namespace {

std::optional<std::string> read(const char* name, std::uint32_t bufferSize = platform::kRegistryValueSize) {
  std::string buffer(bufferSize, '\x7f');
  std::uint32_t size = bufferSize;
  if (platform::readRegistryValue(name, buffer.data(), size) != 0) {
    EXPECT_EQ(size, bufferSize) << name << ": the size is left alone on failure";
    return std::nullopt;
  }
  EXPECT_EQ(size, std::char_traits<char>::length(buffer.c_str()) + 1) << name;
  return std::string(buffer.c_str());
}

// Sets a value of any type and size in the key.
void setRaw(const char* name, DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nimbuswatch", 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST(RegistryWindowsTest, ReadsStringValuesThatFitWithTheirNulAndNothingElse) {
  ScopedRegistryKey key;
  EXPECT_EQ(read("LogFile"), std::nullopt) << "no key";

  key.write({{"LogFile", "C:\\logs\\nimbus.log"},
             {"ImagesDir", ""},
             {"Fits", std::string(1023, 'x')},
             {"TooLong", std::string(1024, 'x')}});
  EXPECT_EQ(read("LogFile"), "C:\\logs\\nimbus.log");
  EXPECT_EQ(read("LOGFILE"), "C:\\logs\\nimbus.log") << "names match without regard to case";
  EXPECT_EQ(read("ImagesDir"), "");
  EXPECT_EQ(read("Fits"), std::string(1023, 'x'));
  EXPECT_EQ(read("TooLong"), std::nullopt);
  EXPECT_EQ(read("LogFile", 19), "C:\\logs\\nimbus.log");
  EXPECT_EQ(read("LogFile", 18), std::nullopt);
  EXPECT_EQ(read("SpoolDir"), std::nullopt) << "no such value";

  // A string stored without its NUL gets one, if there is room for it.
  setRaw("Bare", REG_SZ, "abc", 3);
  EXPECT_EQ(read("Bare"), "abc");
  EXPECT_EQ(read("Bare", 3), std::nullopt);

  // Only plain strings are settings.
  const DWORD number = 12;
  setRaw("DefaultFontSize", REG_DWORD, &number, sizeof number);
  setRaw("SpoolDir", REG_EXPAND_SZ, "%TEMP%\\spool\\", 14);
  setRaw("FontsDir", REG_BINARY, "C:\\\0", 4);
  setRaw("ImagesURL", REG_MULTI_SZ, "/a/\0/b/\0", 9);
  for (const char* name : {"DefaultFontSize", "SpoolDir", "FontsDir", "ImagesURL"}) {
    EXPECT_EQ(read(name), std::nullopt) << name;
  }
}

// The example key shipped in the Windows package, imported as an
// administrator imports it, gives every setting its Windows path.
TEST(RegistryWindowsTest, TheShippedExampleKeyImports) {
  ScopedRegistryKey key;
  const std::string command =
      "reg import \"" NIMBUSWATCH_SOURCE_DIR "/packaging/windows/nimbuswatch.reg\" >NUL 2>NUL";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  EXPECT_EQ(read("LogFile"), "C:\\nimbuswatch\\nimbuswatch.log");
  EXPECT_EQ(read("ImagesDir"), "C:\\nimbuswatch\\images\\");
  EXPECT_EQ(read("SpoolDir"), "C:\\nimbuswatch\\spool\\");
  EXPECT_EQ(read("FontsDir"), "C:\\Windows\\Fonts\\");
  EXPECT_EQ(read("ImagesURL"), "/textimages/");
  EXPECT_EQ(read("DefaultFontFace"), "Times New Roman");
  EXPECT_EQ(read("DefaultFontSize"), "16");
  EXPECT_EQ(read("LogLevel"), "6");
}

}  // namespace
}  // namespace nimbuswatch::test
