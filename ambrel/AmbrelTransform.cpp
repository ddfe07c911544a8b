// Mirror blend, row by row: out(r, c) = floor((in(r, c) + in(r, W-1-c)) / 2) per byte, so the loop
// order is free and rows keep the walk sequential in memory.
#include "AmbrelTransform.h"

#include <iostream>

namespace AmbrelModule {
namespace {

// The sum is formed in unsigned, never in 8 bits: 200 and 255 must give 227, not 99.
uint8_t Blend(uint8_t own, uint8_t mirror) {
    return uint8_t((unsigned(own) + unsigned(mirror)) >> 1);
}

// Both pixels of a mirror pair get the same value, computed before either is written, so the
// row may be blended in place; the middle pixel of an odd row blends with itself and stays.
void BlendRow(const ExchangePixel* in, ExchangePixel* out, size_t width) {
    for (size_t c = 0, m = width - 1; c <= m && m < width; ++c, --m) {
        const ExchangePixel& own = in[c];
        const ExchangePixel& mirror = in[m];
        const ExchangePixel blended{Blend(own.Red, mirror.Red), Blend(own.Green, mirror.Green),
                                    Blend(own.Blue, mirror.Blue)};
        out[c] = blended;
        out[m] = blended;
    }
}

}  // namespace

void ConvertPixels(ExchangeState& state) {
    std::cout << "Converting Image\n";
    const size_t width = uint32_t(state.Width);
    if (width == 0) return;
    // Rows follow from PixelCount, the size of the payload actually held.
    const size_t rows = state.PixelCount / width;
    for (size_t r = 0; r < rows; ++r) {
        BlendRow(state.InputPixels + r * width, state.OutputPixels + r * width, width);
    }
}

}  // namespace AmbrelModule
