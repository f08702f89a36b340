#include "server/ConfigCheck.h"

#include "Logger/Logger.h"
#include "Settings/FontCatalogue.h"
#include "platform/Registry.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace nimbuswatch::server {

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t kMaxFileSize = 16 * 1024 * 1024;

std::string shown(const std::string& value) { return "\"" + loggableValue(value) + "\""; }

// The length of the UTF-8 sequence that `lead` begins; 0 for a byte that
// begins none, and for NUL, which no text file holds.
std::size_t sequenceLength(unsigned char lead) {
  if (lead == 0) {
    return 0;
  }
  if (lead < 0x80) {
    return 1;
  }
  if (lead >= 0xC2 && lead < 0xE0) {
    return 2;
  }
  if (lead >= 0xE0 && lead < 0xF0) {
    return 3;
  }
  return lead >= 0xF0 && lead < 0xF5 ? 4 : 0;
}

bool validUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = sequenceLength(static_cast<unsigned char>(text[i]));
    if (length == 0 || i + length > text.size()) {
      return false;
    }
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
        return false;
      }
    }
    i += length;
  }
  return true;
}

// The first line of the text in the file's encoding, or a problem.
bool firstLine(const std::string& content, ConfigReport& report, std::string& line) {
  if (content.starts_with("\xFF\xFE")) {
    report.encoding = "UTF-16LE";
    for (std::size_t i = 2; i + 1 < content.size() && content[i] != '\n'; i += 2) {
      line += content[i + 1] == '\0' ? content[i] : '?';
    }
  } else if (content.starts_with("\xFE\xFF")) {
    report.problems.push_back("it is UTF-16 big-endian (save it as UTF-16LE or UTF-8)");
    return false;
  } else {
    const std::string_view text = std::string_view(content).substr(content.starts_with("\xEF\xBB\xBF") ? 3 : 0);
    if (!validUtf8(text)) {
      const bool utf16 = content.size() > 1 && content[1] == '\0';
      report.problems.push_back(utf16 ? "it is UTF-16 without a byte-order mark (save it with one)"
                                      : "it is neither UTF-8 nor UTF-16 with a byte-order mark");
      return false;
    }
    report.encoding = "UTF-8";
    line = text.substr(0, text.find('\n'));
  }
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
    line.pop_back();
  }
  return true;
}

// Reads and recognises the export; false, with the problem, when it is not one.
bool checkFile(ConfigReport& report) {
  std::error_code ec;
  const std::string path = platform::registryFilePath();
  const auto status = fs::status(path, ec);
  if (ec || !fs::is_regular_file(status)) {
    report.problems.push_back("cannot read it: " + (ec ? ec.message() : std::string("not a file")));
    return false;
  }
  if (fs::file_size(path, ec) > kMaxFileSize) {
    report.problems.push_back("it is larger than 16 MiB");
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) {
    report.problems.push_back("cannot read it");
    return false;
  }
  std::string line;
  if (!firstLine(content, report, line)) {
    return false;
  }
  if (line != "Windows Registry Editor Version 5.00" && line != "REGEDIT4") {
    report.problems.push_back("it is not a registry export: it does not begin with "
                              "\"Windows Registry Editor Version 5.00\"");
    return false;
  }
  return true;
}

std::string setting(const char* name) {
  char buffer[platform::kRegistryValueSize];
  std::uint32_t size = platform::kRegistryValueSize;
  return platform::readRegistryValue(name, buffer, size) == 0 ? std::string(buffer) : std::string();
}

// True when a file can be made in `dir`: tried, since permissions alone do
// not tell (a read-only file system, or root).
bool writable(const std::string& dir) {
  std::string name = dir + ".nimbuswatch-check-XXXXXX";
  const int descriptor = ::mkstemp(name.data());
  if (descriptor < 0) {
    return false;
  }
  ::close(descriptor);
  ::unlink(name.c_str());
  return true;
}

// An existing directory that ends with "/"; a problem otherwise.
bool checkDirectory(const char* name, const std::string& dir, bool needsWriting, ConfigReport& report) {
  std::error_code ec;
  std::string problem;
  if (dir.empty()) {
    problem = std::string(name) + " is not set";
  } else if (!dir.ends_with('/')) {
    problem = std::string(name) + " " + shown(dir) + " does not end with \"/\"";
  } else if (!fs::is_directory(dir, ec)) {
    problem = std::string(name) + " " + shown(dir) + " is not an existing directory";
  } else if (needsWriting ? !writable(dir) : ::access(dir.c_str(), R_OK | X_OK) != 0) {
    problem = std::string(name) + " " + shown(dir) + (needsWriting ? " is not writable" : " is not readable");
  }
  if (!problem.empty()) {
    report.problems.push_back(problem);
  }
  return problem.empty();
}

bool trueTypeFont(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::array<char, 4> tag{};
  if (!in.read(tag.data(), tag.size())) {
    return false;
  }
  const std::string_view text(tag.data(), tag.size());
  return text == std::string_view("\0\1\0\0", 4) || text == "true" || text == "OTTO" || text == "ttcf";
}

void checkFonts(ConfigReport& report) {
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(report.fontsDir, ec)) {
    if (entry.path().extension() == ".ttf") {
      report.fonts.push_back(entry.path().filename().string());
    }
  }
  std::sort(report.fonts.begin(), report.fonts.end());
  const std::string fallback = report.fontsDir + "times.ttf";
  if (!fs::is_regular_file(fallback, ec)) {
    report.problems.push_back("FontsDir " + shown(report.fontsDir) + " holds no times.ttf, the fallback font");
  } else if (!trueTypeFont(fallback)) {
    report.problems.push_back(shown(fallback) + " is not a readable TrueType font");
  }
}

// The faces as the filter will catalogue them at start.
void catalogueFonts(ConfigReport& report) {
  for (const auto& [family, records] : buildCatalogue(report.fontsDir)) {
    std::string line = loggableValue(family) + ":";
    for (const FontRecord& record : records) {
      line += (&record == &records.front() ? " " : ", ") + loggableValue(record.styleName) + " (" +
              loggableValue(record.fileName) + ")";
      if (record.fileName == "times.ttf" && report.fallback.empty()) {
        report.fallback = "times.ttf: " + loggableValue(family) + " " + loggableValue(record.styleName);
      }
    }
    report.families.push_back(line);
  }
}

}  // namespace

ConfigReport checkConfig() {
  ConfigReport report;
  report.file = loggableValue(platform::registryFilePath());
  if (!checkFile(report)) {
    return report;
  }
  report.spoolDir = setting("SpoolDir");
  report.imagesDir = setting("ImagesDir");
  report.fontsDir = setting("FontsDir");
  report.imagesUrl = setting("ImagesURL");
  checkDirectory("SpoolDir", report.spoolDir, true, report);
  checkDirectory("ImagesDir", report.imagesDir, true, report);
  report.logFile = setting("LogFile");
  report.defaultFace = setting("DefaultFontFace");
  if (checkDirectory("FontsDir", report.fontsDir, false, report)) {
    checkFonts(report);
    catalogueFonts(report);
  }
  if (report.imagesUrl.empty()) {
    report.problems.push_back("ImagesURL is not set");
  } else if (!report.imagesUrl.starts_with('/') || !report.imagesUrl.ends_with('/')) {
    report.problems.push_back("ImagesURL " + shown(report.imagesUrl) + " does not begin and end with \"/\"");
  }
  return report;
}

std::string reportText(const ConfigReport& report) {
  auto orNone = [](const std::string& value) { return value.empty() ? std::string("(not set)") : loggableValue(value); };
  std::string text = "configuration: " + report.file + (report.encoding.empty() ? "" : " (" + report.encoding + ")") +
                     "\n";
  if (report.encoding.empty()) {
    return text;
  }
  text += "SpoolDir:  " + orNone(report.spoolDir) + "\n";
  text += "ImagesDir: " + orNone(report.imagesDir) + "\n";
  text += "FontsDir:  " + orNone(report.fontsDir) + "\n";
  text += "ImagesURL: " + orNone(report.imagesUrl) + "\n";
  text += "LogFile:   " + orNone(report.logFile) + "\n";
  text += "DefaultFontFace: " + orNone(report.defaultFace) + "\n";
  text += "fonts (" + std::to_string(report.families.size()) + " families):\n";
  for (const std::string& family : report.families) {
    text += "  " + family + "\n";
  }
  text += "fallback: " + (report.fallback.empty() ? std::string("none") : report.fallback) + "\n";
  return text;
}

std::string problemLine(const ConfigReport& report) {
  std::string line;
  for (const std::string& problem : report.problems) {
    line += (line.empty() ? "" : "; ") + problem;
  }
  return line;
}

}  // namespace nimbuswatch::server
