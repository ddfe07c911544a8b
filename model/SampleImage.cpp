// FCSampleImage: creation and release, and the narrowing into the 24-bit image.
#include "SampleImage.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "PixelBlockAlloc.h"

bool FCSampleImage::Create(int32_t width, int32_t height, uint32_t channels, uint32_t maxValue) {
    if (width <= 0 || height <= 0 || (channels != 3 && channels != 4) || maxValue == 0 || maxValue > 65535)
        return false;
    const uint64_t bytes = uint64_t(width) * uint64_t(height) * channels * (maxValue > 255 ? 2 : 1);
    if (bytes > std::numeric_limits<size_t>::max() / 2) return false;
    uint8_t* block = AllocPixelBlock(size_t(bytes));
    if (block == nullptr) return false;
    Release();
    Samples = block;
    Width = width;
    Height = height;
    Channels = channels;
    MaxValue = maxValue;
    return true;
}

void FCSampleImage::Release() {
    FreePixelBlock(Samples);
    Samples = nullptr;
    Width = Height = 0;
    Channels = MaxValue = 0;
    XPixelsPerMetre = YPixelsPerMetre = 0;
}

uint32_t FCSampleImage::SignificantBits() const {
    uint32_t bits = 0;
    while (bits < 16 && (MaxValue >> bits) != 0) ++bits;
    return bits;
}

bool NarrowToImage(const FCSampleImage& samples, FCObjImage& image) {
    if (!samples.IsValid()) return false;
    FCObjImage narrowed;
    if (!narrowed.Create(samples.Width, samples.Height, 24)) return false;
    narrowed.InfoHeader.biXPelsPerMeter = samples.XPixelsPerMetre;
    narrowed.InfoHeader.biYPelsPerMeter = samples.YPixelsPerMetre;
    // One division per value the samples can take, not per sample.
    const uint32_t max = samples.MaxValue;
    std::vector<uint8_t> to8(size_t(max) + 1);
    for (uint32_t v = 0; v <= max; ++v) to8[v] = uint8_t((v * 255 + max / 2) / max);
    const size_t step = samples.Channels;
    for (int32_t y = 0; y < samples.Height; ++y) {
        const uint8_t* from = samples.Row(y);
        uint8_t* to = narrowed.RowTable[y];
        for (size_t i = 0; i < size_t(samples.Width) * step; i += step, to += 3) {
            // Samples of a file may exceed its maxval; they count as the largest.
            to[0] = to8[std::min(samples.SampleAt(from, i + 2), max)];
            to[1] = to8[std::min(samples.SampleAt(from, i + 1), max)];
            to[2] = to8[std::min(samples.SampleAt(from, i), max)];
        }
    }
    image.SwapStorage(narrowed);
    return true;
}
