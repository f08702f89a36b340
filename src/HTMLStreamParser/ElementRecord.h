// One textimage element, and its description: the text form in which it is
// spooled between the page that holds it and the request that draws it.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace nimbuswatch {

struct ElementRecord {
  // Lower-cased attribute name to the value exactly as written, quotes
  // included; ordered byte-wise with bytes taken as unsigned.
  std::map<std::string, std::string> attributes;
  std::string name;
  std::string text;

  // The value of `attributeName` without one pair of surrounding quotes:
  // when the raw value starts with ' or ", its first and last bytes go,
  // whatever the last byte is. An absent attribute gives the empty string.
  std::string attributeValue(const std::string& attributeName) const;

  void clear();
};

// Escapes one field of a description: bytes 0x00-0x1F become a backslash and
// the byte plus 0x41, a backslash becomes two, every other byte stays.
std::string escapeField(std::string_view field);

// Undoes escapeField: a backslash and a second backslash give one backslash,
// a backslash and any other byte give that byte minus 65.
std::string unescapeField(std::string_view field);

// The description of `record`: the line of name and text, then one line per
// attribute in ascending order; each line is two escaped fields, a tab
// between them and a line feed after them.
std::string describeElement(const ElementRecord& record);

// Rebuilds a record from a description; null when not one record is complete.
std::unique_ptr<ElementRecord> parseElementDescription(std::string_view description);

}  // namespace nimbuswatch
