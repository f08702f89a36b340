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

}  // namespace nimbuswatch::platform
