// Character classes and letter case of single bytes as the "C" locale has
// them: ASCII letters, digits and white space; bytes 0x80-0xFF belong to no
// class. Page bytes, header names and setting values are compared with
// these and never with the locale's functions.
#pragma once

#include <string>
#include <string_view>

namespace nimbuswatch::ascii {

constexpr bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }
constexpr bool isLetterOrDigit(char c) { return isLetter(c) || isDigit(c); }
// Space, tab, line feed, vertical tab, form feed and carriage return.
constexpr bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
// 0x00-0x1F and 0x7F.
constexpr bool isControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }
constexpr char toLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The value of a hexadecimal digit of either case, or -1 for any other byte.
constexpr int hexValue(char c) {
  if (isDigit(c)) {
    return c - '0';
  }
  const char lower = toLower(c);
  return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

// `text` without the blanks (space, tab) and carriage returns at either
// end: how header values, parameters and setting lines are read.
constexpr std::string_view trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

inline void lowerInPlace(std::string& text) {
  for (char& c : text) {
    c = toLower(c);
  }
}

inline bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (toLower(a[i]) != toLower(b[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace nimbuswatch::ascii
