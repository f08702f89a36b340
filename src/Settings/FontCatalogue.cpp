#include "Settings/FontCatalogue.h"

#include "Settings/Trace.h"
#include "platform/Ascii.h"
#include "platform/DirectoryListing.h"

#include <utility>

namespace nimbuswatch {

namespace {

std::string lowerAscii(std::string text) {
  ascii::lowerInPlace(text);
  return text;
}

FontRecord recordOf(const FT_Face face, const std::string& fileName) {
  const std::string family = face->family_name != nullptr ? face->family_name : "";
  const std::string style = face->style_name != nullptr ? face->style_name : "";
  traceLine(family);
  traceLine(fileName);
  traceLine(style);
  traceLine("-------------------------------------");
  return FontRecord{style, fileName, lowerAscii(family)};
}

void addFontFiles(const std::string& fontsDir, FT_Library library, FontCatalogue& fonts) {
  platform::DirectoryListing listing;
  std::string name;
  if (!listing.findFirst(fontsDir + "*.ttf", name)) {
    return;
  }
  do {
    if (name == ".") {
      continue;
    }
    for (FontRecord& record : readFontFile(fontsDir + name, library, name)) {
      fonts[record.familyName].push_back(std::move(record));
    }
  } while (listing.findNext(name));
  listing.close();
}

// Whether `record` ends the lookup for the wishes as they stand; clears
// the wishes it fulfils.
bool fits(const FontRecord& record, int& bold, int& italic) {
  if (bold != 1 && italic != 1 && record.styleName == "Regular") {
    return true;
  }
  if (bold == 1 && italic == 1 && record.styleName == "Bold Italic") {
    bold = 0;
    italic = 0;
    return true;
  }
  if (bold == 1 && record.styleName == "Bold") {
    bold = 0;
    return true;
  }
  if (italic == 1) {
    traceLine("in italic:");
    traceLine(record.familyName);
    traceLine(record.styleName);
    traceLine("--------------------------");
    if (record.styleName == "Italic") {
      italic = 0;
      return true;
    }
  }
  return false;
}

}  // namespace

FontCatalogue buildCatalogue(const std::string& fontsDir) {
  FontCatalogue fonts;
  FT_Library library = nullptr;
  if (FT_Init_FreeType(&library) != 0) {
    traceLine("Error FT_New_Face");
    return fonts;
  }
  addFontFiles(fontsDir, library, fonts);
  FT_Done_FreeType(library);
  return fonts;
}

std::vector<FontRecord> readFontFile(const std::string& path, FT_Library library, const std::string& fileName) {
  std::vector<FontRecord> records;
  FT_Face face = nullptr;
  if (FT_New_Face(library, path.c_str(), 0, &face) != 0) {
    traceLine("Error SetFontInfo");
    return records;
  }
  const FT_Long count = face->num_faces;
  FT_Done_Face(face);
  for (FT_Long i = 0; i < count; ++i) {
    if (FT_New_Face(library, path.c_str(), i, &face) != 0) {
      traceLine("Error FT_New_Face:");
      traceLine(path);
      return records;
    }
    records.push_back(recordOf(face, fileName));
    FT_Done_Face(face);
  }
  return records;
}

std::string findFace(const FontCatalogue& fonts, const std::string& family, int& bold, int& italic) {
  traceLine(family);
  const auto found = fonts.find(family);
  if (found == fonts.end()) {
    return family;
  }
  traceLine("Start  find");
  traceLine("In for");
  for (const FontRecord& record : found->second) {
    if (fits(record, bold, italic)) {
      return record.fileName;
    }
  }
  for (const FontRecord& record : found->second) {
    if (record.styleName == "Regular") {
      return record.fileName;
    }
  }
  return family;
}

}  // namespace nimbuswatch
