#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace nimbuswatch::test {

namespace fs = std::filesystem;

// A directory of a random name that did not exist before: create_directory
// is false for one that did.
TempDir::TempDir() {
  static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = "nimbuswatch-test-";
    for (int i = 0; i < 8; ++i) {
      name += kDigits[random() % 36];
    }
    const fs::path candidate = fs::temp_directory_path() / name;
    if (fs::create_directory(candidate)) {
      directory = candidate.string() + static_cast<char>(fs::path::preferred_separator);
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(directory, ignored);
}

std::string machinePath(const std::string& path) {
#if defined(_WIN32)
  return "Z:" + path;
#else
  return path;
#endif
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

bool exists(const std::string& path) { return fs::exists(path); }

std::vector<std::string> listDirectory(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(path)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string withoutTime(const std::string& line) {
  // "[time] [level] message"
  const std::size_t levelOpen = line.find("] [");
  const std::size_t levelClose = levelOpen == std::string::npos ? levelOpen : line.find("] ", levelOpen + 3);
  if (levelClose == std::string::npos) {
    return line;
  }
  return line.substr(levelOpen + 3, levelClose - levelOpen - 3) + ": " + line.substr(levelClose + 2);
}

ProcessFixture::ProcessFixture(std::string imagesURL) : saved(processValues()), savedLogger(processLogger()) {
  fs::create_directory(spoolDir());
  logger = std::make_unique<Logger>(logPath());
  spool = std::make_unique<SpoolStorage>(spoolDir());
  setProcessLogger(logger.get());
  processValues().spool = spool.get();
  processValues().imagesURL = std::move(imagesURL);
}

ProcessFixture::~ProcessFixture() {
  processValues() = saved;
  setProcessLogger(savedLogger);
}

std::vector<std::string> ProcessFixture::logMessages() const {
  std::vector<std::string> messages;
  for (const std::string& line : splitLines(readFile(logPath()))) {
    messages.push_back(withoutTime(line));
  }
  return messages;
}

}  // namespace nimbuswatch::test
