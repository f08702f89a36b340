// The filter's configuration: the string values of its registry key, read
// once at start-up, and the catalogue of the fonts directory.
#pragma once

#include "Settings/FontCatalogue.h"

#include <map>
#include <string>

namespace nimbuswatch {

class Settings {
 public:
  // Traces "Start", reads LogFile, ImagesDir, FontsDir, SpoolDir, ImagesURL,
  // DefaultFontFace and DefaultFontSize in that order, then catalogues the
  // fonts in FontsDir. Never fails: a value that cannot be read is absent.
  Settings();
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;

  // The text read for `name` (case-sensitive), or the empty text. The
  // pointer lives as long as the settings; nothing is added by asking.
  const char* get(std::string name) const;

  // The font file for a lower-case family and the wishes for bold and
  // italic; see findFace in FontCatalogue.h.
  std::string findFace(const std::string& family, int& bold, int& italic) const;

 private:
  void readValue(const char* name);

  std::map<std::string, std::string> values;
  FontCatalogue fonts;
};

}  // namespace nimbuswatch
