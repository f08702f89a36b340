// The text engine as other modules see it: the styled text call (the drawing
// library's FreeType text call with two more arguments, a synthetic bold flag
// and a synthetic italic flag), and the line metrics of the faces it keeps.
#pragma once

#include <gd.h>

#include <string_view>

namespace nimbuswatch::textengine {

// The first nine arguments mean what they mean for gdImageStringFT: the
// picture (null to measure only), the box of eight integers filled on return
// (lower-left x, y, lower-right x, y, upper-right x, y, upper-left x, y), the
// colour index (negative: drawn without anti-aliasing), the font file path or
// a ";" separated list of paths, the point size, the angle, the origin of the
// baseline and the NUL-terminated text (UTF-8 and HTML character references).
//
// With bold and italic both 0 this is gdImageStringFT itself. Otherwise the
// text is laid out the same way by our own FreeType faces and the glyphs are
// emboldened by 1/24 em (the advance grows by as much) and/or slanted by 12
// degrees. For styled text the box holds every pixel drawn, a measuring call
// and a drawing call with the same arguments give the same box, and only the
// angle 0 is supported.
//
// Returns null on success, otherwise a static error text that callers only
// log and never free. The plain call creates its font cache on first use
// without a lock: call gdFontCacheSetup() once before threads draw.
//
// The call is ours, not the drawing library's, and so lives in our namespace
// with C++ linkage: a drawing library that defines a symbol of the same name
// neither clashes with it nor takes its place.
char* gdImageStringFTSA(gdImagePtr im, int* brect, int fg, const char* fontlist, double ptsize, double angle, int x,
                        int y, const char* string, int bold, int italic);

// True when the drawing library takes `fontlist` as it stands, as the path
// of one font file: it is no ";" separated list and holds a "/" (a name
// without one the library looks for in its font path).
bool isFontPath(std::string_view fontlist);

// The styled text call (see gdImageStringFTSA) with plain text laid out by
// our own faces as well, at the angle 0. For a font named by a path (see
// isFontPath) this gives exactly gdImageStringFT's box and pixels, and the
// glyphs stay loaded with the face: the measuring call and the drawing call
// of a picture, and the pictures after it, load and render each glyph once.
// Returns null, or an error text.
const char* drawStyledText(gdImagePtr im, int* brect, int fg, const char* fontPath, double ptsize, int x,
                           int y, const char* text, int bold, int italic);

// A face's line metrics at a point size and 96 dots per inch, in 26.6 pixels
// (the underline position and thickness scaled to the size).
struct FaceMetrics {
  long height = 0;
  long ascender = 0;
  long underlinePosition = 0;
  long underlineThickness = 0;
};

// Reads the metrics through the faces the styled text call keeps open, so a
// picture does not open its font file and run its size program once more.
// Returns null, or the reason: "Failure to initialize font library", "Could
// not find/open font", "Could not read font" or "Could not set character size".
const char* readFaceMetrics(const char* path, int pointSize, FaceMetrics& metrics);

}  // namespace nimbuswatch::textengine
