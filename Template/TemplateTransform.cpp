// Reversing the payload turns the picture by 180 degrees, since it runs row by row from the top.
#include "TemplateTransform.h"

#include <algorithm>
#include <iostream>

namespace TemplateModule {

// The runtime hands over one array for input and output, and a reversal swaps pixel k with
// pixel count-1-k, so it works in place.
void ConvertPixels(ExchangeState& state) {
    std::cout << "Converting Image\n";
    std::reverse(state.OutputPixels, state.OutputPixels + state.PixelCount);
}

}  // namespace TemplateModule
