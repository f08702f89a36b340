// The text of a picture as the drawing library reads it: character
// references and UTF-8 into code points.
#pragma once

#include <cstdint>
#include <vector>

namespace nimbuswatch::textengine {

// The code points of `text` as the drawing library reads them: "&#N;" with
// up to 5 decimal digits, "&#xN;" with up to 4 hexadecimal digits, "&name;"
// for the HTML 4.0 names; UTF-8 sequences of 1 to 3 bytes; any other byte
// stands for itself (a stray 0xE9 is U+00E9).
std::vector<std::uint32_t> decodeText(const char* text);

}  // namespace nimbuswatch::textengine
