// The values of the textimage attributes color, bgcolor and style, read into
// numbers for the picture. Both take the value without its quotes.
#pragma once

#include <string>

namespace nimbuswatch {

// Reads "#" and six hexadecimal digits (any byte that is no digit counts 0)
// or one of the sixteen HTML 4.01 colour names, letter case ignored, into
// components 0 to 255. False, with the components untouched, for anything
// else.
bool parseColour(const std::string& value, int& red, int& green, int& blue);

// Sets to 1 the flag of each of the words "bold", "italic" and "underline"
// in `value`. Words end at a comma or a semicolon; letters (case ignored)
// and digits form them; every other byte is dropped without ending a word.
// Never clears a flag; always true.
bool parseStyle(const std::string& value, int& bold, int& italic, int& underline);

}  // namespace nimbuswatch
