// Reversing the payload turns the picture by 180 degrees, since it runs row by row from the top;
// whole pixels move, whatever their form (1 to 4 samples of 8 or 16 bits).
#include "TemplateTransform.h"

#include <algorithm>
#include <cstdint>
#include <iostream>

namespace TemplateModule {
namespace {

// A pixel of N bytes, moved whole; byte-aligned, as the payload's pixels are.
template <size_t N>
struct PixelBytes {
    uint8_t Bytes[N];
};

// The plain reversal, which the compiler turns into wide moves: faster than any hand-made
// shuffle measured.
template <size_t N>
void Reverse(uint8_t* first, size_t count) {
    PixelBytes<N>* pixels = reinterpret_cast<PixelBytes<N>*>(first);
    std::reverse(pixels, pixels + count);
}

}  // namespace

// The runtime hands over one array for input and output, and a reversal swaps pixel k with
// pixel count-1-k, so it works in place; each frame of an animation is turned on its own, the
// frames staying in their order.
void ConvertPixels(ExchangeState& state) {
    std::cout << "Converting Image\n";
    const size_t pixelBytes = size_t(state.Channels * state.Depth / 8);
    for (int32_t frame = 0; frame < state.Frames; ++frame) {
        uint8_t* first =
            reinterpret_cast<uint8_t*>(state.OutputPixels) + size_t(frame) * state.PixelCount * pixelBytes;
        switch (pixelBytes) {
            case 1:
                Reverse<1>(first, state.PixelCount);
                break;
            case 2:
                Reverse<2>(first, state.PixelCount);
                break;
            case 4:
                Reverse<4>(first, state.PixelCount);
                break;
            case 6:
                Reverse<6>(first, state.PixelCount);
                break;
            case 8:
                Reverse<8>(first, state.PixelCount);
                break;
            default:
                Reverse<3>(first, state.PixelCount);
                break;
        }
    }
}

}  // namespace TemplateModule
