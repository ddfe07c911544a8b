// FCSampleImage: creation and release, and the narrowing into the 24-bit image.
#include "SampleImage.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#include "ByteBlock.h"
#include "MappedBlock.h"
#include "PictureView.h"

bool FCSampleImage::Create(int32_t width, int32_t height, uint32_t channels, uint32_t maxValue) {
    if (width <= 0 || height <= 0 || channels < 1 || channels > 4 || maxValue == 0 || maxValue > 65535)
        return false;
    const uint64_t bytes = uint64_t(width) * uint64_t(height) * channels * (maxValue > 255 ? 2 : 1);
    if (bytes > std::numeric_limits<size_t>::max() / 2) return false;
    uint8_t* block = AllocBlock(size_t(bytes), BlockFill::Zero);
    if (block == nullptr) return false;
    Release();
    Samples = block;
    Width = width;
    Height = height;
    Channels = channels;
    MaxValue = maxValue;
    return true;
}

void FCSampleImage::SwapWith(FCSampleImage& other) noexcept {
    std::swap(Width, other.Width);
    std::swap(Height, other.Height);
    std::swap(Channels, other.Channels);
    std::swap(MaxValue, other.MaxValue);
    std::swap(XPixelsPerMetre, other.XPixelsPerMetre);
    std::swap(YPixelsPerMetre, other.YPixelsPerMetre);
    std::swap(Samples, other.Samples);
}

void FCSampleImage::Release() {
    FreeBlock(Samples);
    Samples = nullptr;
    Width = Height = 0;
    Channels = MaxValue = 0;
    XPixelsPerMetre = YPixelsPerMetre = 0;
}

uint32_t FCSampleImage::SignificantBits() const {
    return SignificantBitsOf(MaxValue);
}

bool NarrowToImage(const FCSampleImage& samples, FCObjImage& image) {
    if (!samples.IsValid()) return false;
    FCObjImage narrowed;
    if (!narrowed.Create(samples.Width, samples.Height, 24)) return false;
    narrowed.InfoHeader.biXPelsPerMeter = samples.XPixelsPerMetre;
    narrowed.InfoHeader.biYPelsPerMeter = samples.YPixelsPerMetre;
    const PictureView from = ViewOf(samples);
    const LayoutConversion conversion(from.Layout, kImage24Layout);
    for (int32_t y = 0; y < samples.Height; ++y)
        conversion.Convert(from.Row(y), narrowed.RowTable[y], 0, 1, uint32_t(samples.Width));
    image.SwapStorage(narrowed);
    return true;
}

std::vector<uint16_t> SampleValueTable(uint32_t from, uint32_t to) {
    std::vector<uint16_t> table(size_t(from) + 1);
    for (uint32_t v = 0; v <= from; ++v) {
        uint32_t out = (v * to + from / 2) / from;
        if (to > 255 && from <= 255) out = (v * 255 + from / 2) / from * 257;
        table[v] = uint16_t(out);
    }
    return table;
}

uint32_t SignificantBitsOf(uint32_t maxValue) {
    uint32_t bits = 0;
    while (bits < 16 && (maxValue >> bits) != 0) ++bits;
    return bits;
}

bool ConvertSamples(FCSampleImage& samples, uint32_t channels, uint32_t maxValue) {
    if (!samples.IsValid()) return false;
    if (samples.Channels == channels && samples.MaxValue == maxValue) return true;
    const uint32_t from = samples.Channels;
    if (from >= 3 && channels < 3) return false;
    const size_t inPixel = from * samples.BytesPerSample();
    const size_t outPixel = channels * (maxValue > 255 ? 2 : 1);
    const size_t count = size_t(samples.Width) * size_t(samples.Height);
    // The picture is never held twice: a larger form grows the block where it lies and is written
    // from the last pixel back, a smaller one from the first on, so that each pixel is read whole
    // before anything is written over it.
    if (outPixel > inPixel) {
        uint8_t* grown = ExtendBlock(samples.Samples, count * outPixel);
        if (grown == nullptr) return false;
        samples.Samples = grown;
    }
    const LayoutConversion conversion(PixelLayout{from, samples.MaxValue, false},
                                      PixelLayout{channels, maxValue, false});
    const size_t inRow = size_t(samples.Width) * inPixel;
    const size_t outRow = size_t(samples.Width) * outPixel;
    const uint32_t width = uint32_t(samples.Width);
    uint8_t* const block = samples.Samples;
    if (outPixel > inPixel) {
        for (size_t y = size_t(samples.Height); y-- > 0;)
            conversion.ConvertBackwards(block + y * inRow, block + y * outRow, 0, width);
    } else {
        for (size_t y = 0; y < size_t(samples.Height); ++y)
            conversion.Convert(block + y * inRow, block + y * outRow, 0, 1, width);
    }
    samples.Channels = channels;
    samples.MaxValue = maxValue;
    return true;
}

bool WidenToSamples(const FCObjImage& image, FCSampleImage& samples, uint32_t channels, uint32_t maxValue) {
    if (!image.IsValid() || image.InfoHeader.biBitCount != 24) return false;
    FCSampleImage widened;
    if (!widened.Create(image.InfoHeader.biWidth, image.InfoHeader.biHeight, channels, maxValue))
        return false;
    const PictureView from = ViewOf(image);
    const LayoutConversion conversion(from.Layout, PixelLayout{channels, maxValue, false});
    // Rows a file ended before were never written: they stay zero, and cost nothing.
    const PageSnapshot written(image.PixelStore, size_t(image.Stride()) * size_t(widened.Height));
    for (int32_t y = 0; y < widened.Height; ++y) {
        const uint8_t* in = from.Row(y);
        if (written.Touched(in, size_t(widened.Width) * 3))
            conversion.Convert(in, widened.Row(y), 0, 1, uint32_t(widened.Width));
    }
    widened.XPixelsPerMetre = image.InfoHeader.biXPelsPerMeter;
    widened.YPixelsPerMetre = image.InfoHeader.biYPelsPerMeter;
    samples.SwapWith(widened);
    return true;
}

bool HasTransparentSample(const FCSampleImage& samples) {
    if (!samples.IsValid() || (samples.Channels != 2 && samples.Channels != 4)) return false;
    bool transparent = false;
    const uint32_t opaque = samples.MaxValue;
    const size_t channels = samples.Channels;
    WithSampleWidth(samples.BytesPerSample() == 2, [&](auto wide) {
        for (int32_t y = 0; y < samples.Height && !transparent; ++y) {
            const uint8_t* row = samples.Row(y);
            for (size_t x = 0; x < size_t(samples.Width) && !transparent; ++x)
                transparent = GetSample<wide>(row, x * channels + channels - 1) < opaque;
        }
    });
    return transparent;
}
