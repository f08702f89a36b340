#include "platform/DirectoryListing.h"

namespace nimbuswatch::platform {

bool matchesWildcard(const std::string& pattern, const std::string& name) {
  // Greedy match with one point to return to: the last "*" and the byte of
  // the name it was tried against.
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t star = std::string::npos;
  std::size_t resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') {
    ++p;
  }
  return p == pattern.size();
}

bool DirectoryListing::findNext(std::string& name) {
  if (position >= names.size()) {
    return false;
  }
  name = names[position++];
  return true;
}

void DirectoryListing::close() {
  names.clear();
  position = 0;
}

}  // namespace nimbuswatch::platform
