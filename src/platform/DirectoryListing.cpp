#include "platform/DirectoryListing.h"

#include <dirent.h>

#include <algorithm>

namespace nimbuswatch::platform {

namespace {

// The names in `directory` that match `namePattern`, in no particular order.
bool readMatchingNames(const std::string& directory, const std::string& namePattern,
                       std::vector<std::string>& names) {
  DIR* stream = ::opendir(directory.c_str());
  if (stream == nullptr) {
    return false;
  }
  while (const dirent* entry = ::readdir(stream)) {
    const std::string name = entry->d_name;
    if (matchesWildcard(namePattern, name)) {
      names.push_back(name);
    }
  }
  ::closedir(stream);
  return true;
}

}  // namespace

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

bool DirectoryListing::findFirst(const std::string& pattern, std::string& name) {
  close();
  const std::size_t slash = pattern.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : pattern.substr(0, slash + 1);
  const std::string namePattern = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
  if (!readMatchingNames(directory, namePattern, names)) {
    return false;
  }
  // std::string compares its bytes as unsigned char: byte-wise order.
  std::sort(names.begin(), names.end());
  return findNext(name);
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
