// Reversing the payload turns the picture by 180 degrees, since it runs row by row from the top.
#include "TemplateTransform.h"

#include <iostream>

namespace TemplateModule {

void ConvertPixels(ExchangeState& state) {
    std::cout << "Converting Image\n";
    const ExchangePixel* in = state.InputPixels.get();
    ExchangePixel* out = state.OutputPixels.get();
    const size_t count = state.PixelCount;
    for (size_t k = 0; k < count; ++k) out[count - 1 - k] = in[k];
}

}  // namespace TemplateModule
