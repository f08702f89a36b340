// Inside the styled text call, open to its tests: the own layout path, which can be run without any style to
// compare it with the drawing library's own text call.
#pragma once

#include <gd.h>

#include <cstdint>
#include <vector>

namespace nimbuswatch::textengine::detail {

struct TextStyle {
  bool bold = false;
  bool italic = false;
};

// The text call laid out by our own FreeType faces, with the arguments and
// result of gdImageStringFT. Without a style it gives gdImageStringFT's box
// and pixels; with one, see gdImageStringFTSA. Only the angle 0 is drawn;
// any other gives an error text.
char* drawText(gdImagePtr im, int* brect, int fg, const char* fontlist, double ptsize,
               double angle, int x, int y, const char* text, TextStyle style);

}  // namespace nimbuswatch::textengine::detail
