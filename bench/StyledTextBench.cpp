// Text drawn per second with the styled text call: a measuring call and a
// drawing call, as the GIF rendering makes them, for a typical element of
// 20 characters at 16 points. Regular text goes to the drawing library's own
// call; bold and italic to our own layout.
#include "TextEngine/TextEngine.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

using nimbuswatch::textengine::gdImageStringFTSA;

const std::string kFont = "/usr/share/fonts/truetype/liberation/LiberationSerif-Regular.ttf";
const char* const kText = "Contact: a@b.example";

void measureAndDraw(benchmark::State& state, int bold, int italic) {
  gdFontCacheSetup();
  for (auto _ : state) {
    int box[8];
    if (gdImageStringFTSA(nullptr, box, 0, kFont.c_str(), 16, 0.0, 0, 0, kText, bold, italic) !=
        nullptr) {
      state.SkipWithError("measuring failed");
      break;
    }
    gdImagePtr picture = gdImageCreate(box[2] - box[0] + 2, 24);
    gdImageColorAllocateAlpha(picture, 255, 255, 255, 127);
    const int fg = gdImageColorAllocate(picture, 0, 0, 0);
    gdImageStringFTSA(picture, box, -fg, kFont.c_str(), 16, 0.0, 1 - box[0], 19, kText, bold,
                      italic);
    benchmark::DoNotOptimize(picture->pixels[10][10]);
    gdImageDestroy(picture);
  }
  state.SetItemsProcessed(state.iterations());
}

void Regular(benchmark::State& state) { measureAndDraw(state, 0, 0); }
void Bold(benchmark::State& state) { measureAndDraw(state, 1, 0); }
void Italic(benchmark::State& state) { measureAndDraw(state, 0, 1); }
void BoldItalic(benchmark::State& state) { measureAndDraw(state, 1, 1); }

BENCHMARK(Regular);
BENCHMARK(Bold);
BENCHMARK(Italic);
BENCHMARK(BoldItalic);

}  // namespace
