#include "CoreRequestHandler/ColourAndStyle.h"

#include "platform/Ascii.h"

#include <algorithm>

namespace nimbuswatch {

namespace {

struct NamedColour {
  const char* name;
  int red;
  int green;
  int blue;
};

constexpr NamedColour kColourNames[] = {
    {"black", 0, 0, 0},       {"gray", 128, 128, 128}, {"silver", 192, 192, 192}, {"white", 255, 255, 255},
    {"red", 255, 0, 0},       {"fuchsia", 255, 0, 255}, {"maroon", 128, 0, 0},      {"purple", 128, 0, 128},
    {"navy", 0, 0, 128},      {"blue", 0, 0, 255},      {"aqua", 0, 255, 255},      {"green", 0, 128, 0},
    {"lime", 0, 255, 0},      {"teal", 0, 128, 128},    {"yellow", 255, 255, 0},    {"olive", 128, 128, 0},
};

// A byte that is no hexadecimal digit counts as 0.
int hexDigit(char c) { return std::max(0, ascii::hexValue(c)); }

int hexByte(const std::string& value, std::size_t at) { return 16 * hexDigit(value[at]) + hexDigit(value[at + 1]); }

void finishWord(std::string& word, int& bold, int& italic, int& underline) {
  if (word == "bold") {
    bold = 1;
  } else if (word == "italic") {
    italic = 1;
  } else if (word == "underline") {
    underline = 1;
  }
  word.clear();
}

}  // namespace

bool parseColour(const std::string& value, int& red, int& green, int& blue) {
  if (value.size() == 7 && value[0] == '#') {
    red = hexByte(value, 1);
    green = hexByte(value, 3);
    blue = hexByte(value, 5);
    return true;
  }
  std::string lower = value;
  for (char& c : lower) {
    c = ascii::toLower(c);
  }
  for (const NamedColour& colour : kColourNames) {
    if (lower == colour.name) {
      red = colour.red;
      green = colour.green;
      blue = colour.blue;
      return true;
    }
  }
  return false;
}

bool parseStyle(const std::string& value, int& bold, int& italic, int& underline) {
  std::string word;
  for (char c : value) {
    c = ascii::toLower(c);
    if (c == ',' || c == ';') {
      finishWord(word, bold, italic, underline);
    } else if (ascii::isLetterOrDigit(c)) {
      word += c;
    }
  }
  finishWord(word, bold, italic, underline);
  return true;
}

}  // namespace nimbuswatch
