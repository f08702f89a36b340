#include "support/FontsDir.h"

#include <filesystem>

namespace nimbuswatch::test {

namespace fs = std::filesystem;

namespace {

std::string targetName(const std::string& source, std::string name) {
  return name.empty() ? fs::path(source).filename().string() : name;
}

}  // namespace

FontsDir& FontsDir::link(const std::string& source, std::string name) {
#if defined(_WIN32)
  return copy(source, std::move(name));
#else
  fs::create_symlink(source, temp.file(targetName(source, std::move(name))));
  return *this;
#endif
}

FontsDir& FontsDir::copy(const std::string& source, std::string name) {
  fs::copy_file(source, temp.file(targetName(source, std::move(name))));
  return *this;
}

FontsDir& FontsDir::write(const std::string& name, const std::string& content) {
  writeFile(temp.file(name), content);
  return *this;
}

FontsDir& FontsDir::addLiberationSerif() {
  for (const char* style : {"Regular", "Bold", "Italic", "BoldItalic"}) {
    link(kLiberationDir + "LiberationSerif-" + style + ".ttf");
  }
  return *this;
}

FontsDir& FontsDir::addTimes() { return copy(kLiberationDir + "LiberationSerif-Regular.ttf", "times.ttf"); }

}  // namespace nimbuswatch::test
