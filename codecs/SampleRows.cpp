// A writer's rows of a sample image, and the colour of premultiplied alpha taken back.
#include "SampleRows.h"

#include <algorithm>

SampleRows::SampleRows(const FCSampleImage& samples, uint32_t channels, uint32_t maxValue)
    : samples_(samples), channels_(channels), maxValue_(maxValue) {
    if (samples.Channels == channels && samples.MaxValue == maxValue) return;
    const uint32_t from = samples.MaxValue;
    values_.resize(size_t(from) + 1);
    for (uint32_t v = 0; v <= from; ++v) values_[v] = uint16_t((v * maxValue + from / 2) / from);
    row_.resize(RowBytes());
}

const uint8_t* SampleRows::Row(int32_t y) {
    const uint8_t* in = samples_.Row(y);
    if (row_.empty()) return in;
    const uint32_t from = samples_.Channels;
    const uint32_t most = samples_.MaxValue;
    const size_t width = size_t(samples_.Width);
    uint8_t* out = row_.data();
    WithSampleWidth(samples_.BytesPerSample() == 2, [&](auto wideIn) {
        WithSampleWidth(maxValue_ > 255, [&](auto wideOut) {
            for (size_t x = 0, o = 0; x < width; ++x) {
                for (uint32_t c = 0; c < channels_; ++c, ++o) {
                    // Samples of a file may exceed its maxval; they count as the largest.
                    const uint32_t v =
                        c < from ? values_[std::min(GetSample<wideIn>(in, x * from + c), most)] : maxValue_;
                    PutSample<wideOut>(out, o, v);
                }
            }
        });
    });
    return row_.data();
}

void TakeOutPremultipliedAlpha(uint8_t* row, size_t width, uint32_t max) {
    WithSampleWidth(max > 255, [&](auto wide) {
        for (size_t i = 0; i < width * 4; i += 4) {
            const uint32_t a = std::min(GetSample<wide>(row, i + 3), max);
            for (size_t c = i; c < i + 3; ++c)
                PutSample<wide>(row, c, Unpremultiply(GetSample<wide>(row, c), a, max));
        }
    });
}
