// Reversing the payload turns the picture by 180 degrees, since it runs row by row from the top.
#include "TemplateTransform.h"

#include <algorithm>
#include <iostream>

namespace TemplateModule {

// A reversal swaps pixel k with pixel count-1-k, so it works in place whether or not the
// output array is the input array.
void ConvertPixels(ExchangeState& state) {
    std::cout << "Converting Image\n";
    const ExchangePixel* in = state.InputPixels;
    ExchangePixel* out = state.OutputPixels;
    const size_t count = state.PixelCount;
    if (in == out) {
        std::reverse(out, out + count);
        return;
    }
    for (size_t k = 0; k < count; ++k) out[count - 1 - k] = in[k];
}

}  // namespace TemplateModule
