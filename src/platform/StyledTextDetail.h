// Inside the styled text call, open to its tests: how the text bytes are
// decoded, and the own layout path, which can be run without any style to
// compare it with the drawing library's own text call.
#pragma once

#include <gd.h>

#include <cstdint>
#include <vector>

namespace nimbuswatch::platform::detail {

struct TextStyle {
  bool bold = false;
  bool italic = false;
};

// The code points of `text` as the drawing library reads them: "&#N;" with
// up to 5 decimal digits, "&#xN;" with up to 4 hexadecimal digits, "&name;"
// for the HTML 4.0 names; UTF-8 sequences of 1 to 3 bytes; any other byte
// stands for itself (a stray 0xE9 is U+00E9).
std::vector<std::uint32_t> decodeText(const char* text);

// The text call laid out by our own FreeType faces, with the arguments and
// result of gdImageStringFT. Without a style it gives gdImageStringFT's box
// and pixels; with one, see gdImageStringFTSA. Only the angle 0 is drawn;
// any other gives an error text.
char* drawText(gdImagePtr im, int* brect, int fg, const char* fontlist, double ptsize,
               double angle, int x, int y, const char* text, TextStyle style);

}  // namespace nimbuswatch::platform::detail
