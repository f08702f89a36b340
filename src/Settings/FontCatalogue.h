// The catalogue of the TrueType faces in the fonts directory, by family and
// style: which file to draw a family with, and which of the wishes for bold
// and italic that file already fulfils.
#pragma once

#include <ft2build.h>
#include FT_FREETYPE_H

#include <map>
#include <string>
#include <vector>

namespace nimbuswatch {

// One face found in a font file.
struct FontRecord {
  std::string styleName;   // as the font gives it: "Regular", "Bold Italic", ...
  std::string fileName;    // within the fonts directory, extension included
  std::string familyName;  // ASCII capitals lowered, every other byte kept
};

// Lower-case family name to its faces: files in listing order, the faces of
// one file in index order. A family is present only with at least one face.
using FontCatalogue = std::map<std::string, std::vector<FontRecord>>;

// Opens every "*.ttf" entry of `fontsDir` (a prefix: it ends with a path
// separator, or is empty for the current directory) and catalogues its
// faces. Failures are traced and leave the file out; nothing is returned
// but the catalogue.
FontCatalogue buildCatalogue(const std::string& fontsDir);

// The faces of the font file at `path`, which the catalogue lists as
// `fileName`; empty when it does not open as a font. Traces each face.
std::vector<FontRecord> readFontFile(const std::string& path, FT_Library library, const std::string& fileName);

// The file to draw `family` (lower case) with, for the wishes `bold` and
// `italic` (a wish counts only when the flag is 1). The records of the
// family are tried one by one, in list order, and the first that fits ends
// the lookup; the flag of a wish the chosen face fulfils is set to 0. When
// none fits, the family's first "Regular" face is returned with both flags
// as they were; when there is none, or the family is unknown, the family
// itself.
std::string findFace(const FontCatalogue& fonts, const std::string& family, int& bold, int& italic);

}  // namespace nimbuswatch
