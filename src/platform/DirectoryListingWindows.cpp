#include "platform/DirectoryListing.h"

#include <io.h>

#include <algorithm>
#include <cstdint>

namespace nimbuswatch::platform {

namespace {

unsigned char upperAscii(unsigned char c) { return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 0x20) : c; }

// NTFS keeps a directory's names ordered by their upper-case form: '_' comes
// after the letters, unlike in an order by lower case. Names that differ in
// letter case only (possible on the file systems Wine lists) keep a fixed
// order among themselves.
bool ntfsOrder(const std::string& a, const std::string& b) {
  const auto upperLess = [](char x, char y) {
    return upperAscii(static_cast<unsigned char>(x)) < upperAscii(static_cast<unsigned char>(y));
  };
  if (std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), upperLess)) {
    return true;
  }
  if (std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(), upperLess)) {
    return false;
  }
  return a < b;
}

}  // namespace

// The runtime's listing: names match the pattern without regard to letter
// case, including the short-name quirk that lets "*.ttf" also list
// "x.ttfx". NTFS hands them out in its name order; other file systems (and
// Wine over Linux ones) in none, so they are read all at once and put into
// NTFS's order.
bool DirectoryListing::findFirst(const std::string& pattern, std::string& name) {
  close();
  _finddata_t entry{};
  const intptr_t handle = _findfirst(pattern.c_str(), &entry);
  if (handle == -1) {
    return false;
  }
  do {
    names.emplace_back(entry.name);
  } while (_findnext(handle, &entry) == 0);
  _findclose(handle);
  std::sort(names.begin(), names.end(), ntfsOrder);
  return findNext(name);
}

}  // namespace nimbuswatch::platform
