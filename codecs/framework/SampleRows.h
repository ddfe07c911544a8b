// Sample images as the codecs write them: the depth a writer stores, and the colour of premultiplied alpha
// taken back to the colour itself.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "SampleImage.h"

// The form a writer holding at most 16 bits stores samples in: 65535 for samples above 8 bits.
inline uint32_t StoredMaxValue(const FCSampleImage& samples) {
    return samples.MaxValue > 255 ? 65535 : 255;
}

// Colour stored multiplied by its alpha, taken back to the colour itself: c x max / a, rounded,
// and 0 where alpha is 0.
inline uint32_t Unpremultiply(uint32_t c, uint32_t a, uint32_t max) {
    return a == 0 ? 0 : std::min(max, (c * max + a / 2) / a);
}
// Unpremultiply over one row of width pixels of four samples of 0 to max.
void TakeOutPremultipliedAlpha(uint8_t* row, size_t width, uint32_t max);
