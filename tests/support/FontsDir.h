// Temporary fonts directories made of Debian's real TrueType files.
#pragma once

#include "support/TestSupport.h"

#include <string>

namespace nimbuswatch::test {

inline const std::string kLiberationDir = machinePath("/usr/share/fonts/truetype/liberation/");
inline const std::string kDejaVuDir = machinePath("/usr/share/fonts/truetype/dejavu/");

// A fresh directory, removed with its contents when the object goes.
// `path()` ends with a separator, as the FontsDir setting does.
class FontsDir {
 public:
  FontsDir() = default;

  const std::string& path() const { return temp.path(); }

  // Links `source` (a full path) into the directory as `name`; with no name
  // under the source's own file name. Returns *this to chain. On Windows,
  // where links need privileges, a copy.
  FontsDir& link(const std::string& source, std::string name = {});
  // As link, with a copy of the file's bytes.
  FontsDir& copy(const std::string& source, std::string name = {});
  // A file of the given bytes, for files that are not fonts.
  FontsDir& write(const std::string& name, const std::string& content);

  // The four Liberation Serif faces under their own names.
  FontsDir& addLiberationSerif();
  // The fallback font the renderer needs: Liberation Serif Regular copied as
  // "times.ttf".
  FontsDir& addTimes();

 private:
  TempDir temp;
};

}  // namespace nimbuswatch::test
