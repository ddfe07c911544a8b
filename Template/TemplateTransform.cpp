// Reversing the payload turns the picture by 180 degrees, since it runs row by row from the top;
// whole pixels move, whatever their form (3 or 4 samples of 8 or 16 bits).
#include "TemplateTransform.h"

#include <algorithm>
#include <cstring>
#include <iostream>

namespace TemplateModule {
namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the word shifts below read bytes little-endian");

constexpr size_t kGroup = 4;  // 3-byte pixels moved as three 32-bit words
constexpr size_t kGroupBytes = kGroup * sizeof(ExchangePixel);

// Four pixels in reverse order, each pixel's three bytes kept in order: a pixel at a time the
// reversal costs more than the memory it moves.
void ReverseGroup(const uint8_t* in, uint8_t* out) {
    uint32_t a, b, c;  // bytes 0-3, 4-7, 8-11
    std::memcpy(&a, in, 4);
    std::memcpy(&b, in + 4, 4);
    std::memcpy(&c, in + 8, 4);
    const uint32_t words[3] = {
        (c >> 8) | ((b >> 16) << 24),                                    // bytes 9 10 11 6
        (b >> 24) | ((c & 0xFF) << 8) | ((a >> 24) << 16) | (b << 24),  // bytes 7 8 3 4
        ((b >> 8) & 0xFF) | (a << 8),                                    // bytes 5 0 1 2
    };
    std::memcpy(out, words, kGroupBytes);
}

// Groups from both ends trade places until they meet; the middle goes a pixel at a time.
void ReverseThreeBytePixels(uint8_t* front, uint8_t* back) {
    while (back - front >= ptrdiff_t(2 * kGroupBytes)) {
        back -= kGroupBytes;
        uint8_t fromFront[kGroupBytes];
        ReverseGroup(front, fromFront);
        ReverseGroup(back, front);
        std::memcpy(back, fromFront, kGroupBytes);
        front += kGroupBytes;
    }
    std::reverse(reinterpret_cast<ExchangePixel*>(front), reinterpret_cast<ExchangePixel*>(back));
}

// Pixels of any size, swapped whole from both ends.
void ReversePixels(uint8_t* front, uint8_t* back, size_t pixelBytes) {
    uint8_t held[8];
    while (back - front >= ptrdiff_t(2 * pixelBytes)) {
        back -= pixelBytes;
        std::memcpy(held, front, pixelBytes);
        std::memcpy(front, back, pixelBytes);
        std::memcpy(back, held, pixelBytes);
        front += pixelBytes;
    }
}

}  // namespace

// The runtime hands over one array for input and output, and a reversal swaps pixel k with
// pixel count-1-k, so it works in place.
void ConvertPixels(ExchangeState& state) {
    std::cout << "Converting Image\n";
    const size_t pixelBytes = size_t(state.Channels) * size_t(state.Depth) / 8;
    uint8_t* front = reinterpret_cast<uint8_t*>(state.OutputPixels);
    uint8_t* back = front + size_t(state.PixelCount) * pixelBytes;
    if (pixelBytes == sizeof(ExchangePixel)) {
        ReverseThreeBytePixels(front, back);
    } else {
        ReversePixels(front, back, pixelBytes);
    }
}

}  // namespace TemplateModule
