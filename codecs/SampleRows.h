// Sample images as the codecs read and write them: a writer's rows in the form its format stores,
// and the colour of premultiplied alpha taken back to the colour itself.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "SampleImage.h"

// The rows of a sample image in the form a writer stores: channels 3 or 4 and maxValue 255 (a byte
// a sample) or 65535 (two, the most significant first). An image in that form already hands out
// its own rows; any other goes through one row's buffer, each sample scaled by the one narrowing
// rule, (v x maxValue + MaxValue / 2) / MaxValue, alpha left out or added opaque.
class SampleRows {
  public:
    SampleRows(const FCSampleImage& samples, uint32_t channels, uint32_t maxValue);
    // Row y, top first; valid until the next call.
    const uint8_t* Row(int32_t y);
    size_t RowBytes() const { return size_t(samples_.Width) * channels_ * (maxValue_ > 255 ? 2 : 1); }

  private:
    const FCSampleImage& samples_;
    uint32_t channels_;
    uint32_t maxValue_;
    std::vector<uint16_t> values_;  // each value a sample can take, in the stored form
    std::vector<uint8_t> row_;      // empty when the image's own rows are stored
};

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
