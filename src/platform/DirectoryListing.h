// The directory listing with a wildcard pattern, in the shape of the
// runtime's _findfirst, _findnext and _findclose.
//
// The pattern is a directory part followed by a name pattern in which "*"
// stands for any run of bytes and "?" for any one byte.
//
// On Windows the runtime's own calls list the directory: names match without
// regard to letter case (with the runtime's short-name quirks), and entries
// come in the order NTFS keeps them, by their upper-case form, whatever the
// file system below.
//
// Elsewhere the names match with letter case respected (a file is only
// listed under the name that will open it), and entries come in byte-wise
// order of their names, so a directory lists the same way on every run.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace nimbuswatch::platform {

class DirectoryListing {
 public:
  DirectoryListing() = default;
  ~DirectoryListing() = default;
  DirectoryListing(const DirectoryListing&) = delete;
  DirectoryListing& operator=(const DirectoryListing&) = delete;

  // Starts a listing of the entries that match `pattern` and puts the first
  // name in `name`. False when the directory cannot be read or nothing
  // matches.
  bool findFirst(const std::string& pattern, std::string& name);

  // Puts the next name in `name`; false when the listing is over.
  bool findNext(std::string& name);

  // Ends the listing.
  void close();

 private:
  std::vector<std::string> names;
  std::size_t position = 0;
};

// True when `name` matches the wildcard pattern `pattern` as a whole.
bool matchesWildcard(const std::string& pattern, const std::string& name);

}  // namespace nimbuswatch::platform
