// Mirror blend, row by row: out(r, c) = floor((in(r, c) + in(r, W-1-c)) / 2) per sample (weighted
// by alpha where pixels have it), so the loop order is free and rows keep the walk sequential in
// memory.
#include "AmbrelTransform.h"

#include <cstring>
#include <iostream>

namespace AmbrelModule {
namespace {

// The sum is formed in unsigned, never in 8 bits: 200 and 255 must give 227, not 99.
uint8_t Blend(uint8_t own, uint8_t mirror) {
    return uint8_t((unsigned(own) + unsigned(mirror)) >> 1);
}

// Both pixels of a mirror pair get the same value, computed before either is written, so the
// row may be blended in place; the middle pixel of an odd row blends with itself and stays.
void BlendRow(const ExchangePixel* in, ExchangePixel* out, size_t width) {
    for (size_t c = 0, m = width - 1; c <= m && m < width; ++c, --m) {
        const ExchangePixel& own = in[c];
        const ExchangePixel& mirror = in[m];
        const ExchangePixel blended{Blend(own.Red, mirror.Red), Blend(own.Green, mirror.Green),
                                    Blend(own.Blue, mirror.Blue)};
        out[c] = blended;
        out[m] = blended;
    }
}

// A sample of a version 2 pixel: one byte, or two with the most significant first.
template <bool Wide>
uint32_t SampleOf(const uint8_t* pixel, size_t i) {
    return Wide ? uint32_t(pixel[2 * i]) << 8 | pixel[2 * i + 1] : pixel[i];
}

template <bool Wide>
void PutSample(uint8_t* pixel, size_t i, uint32_t value) {
    if (Wide) {
        pixel[2 * i] = uint8_t(value >> 8);
        pixel[2 * i + 1] = uint8_t(value);
    } else {
        pixel[i] = uint8_t(value);
    }
}

// Two pixels of any form blended into out. With alpha (grey and alpha, or colour and alpha), the
// colour or grey is weighted by it, so a transparent pixel does not darken the blend:
// alpha = floor((a1 + a2) / 2), each other sample floor((c1 a1 + c2 a2) / (a1 + a2)), 0 where both
// are transparent; without alpha each sample is floor((p + q) / 2), as the weighting gives for two
// opaque pixels. The form is fixed per picture, so each is compiled on its own: without alpha the
// division is a shift.
template <size_t Channels, bool Wide>
void BlendSamples(const uint8_t* own, const uint8_t* mirror, uint8_t* out) {
    constexpr bool kAlpha = Channels == 2 || Channels == 4;
    constexpr size_t kColours = kAlpha ? Channels - 1 : Channels;
    const uint64_t a1 = kAlpha ? SampleOf<Wide>(own, kColours) : 1;
    const uint64_t a2 = kAlpha ? SampleOf<Wide>(mirror, kColours) : 1;
    const uint64_t weight = a1 + a2;
    for (size_t i = 0; i < kColours; ++i) {
        const uint64_t sum = SampleOf<Wide>(own, i) * a1 + SampleOf<Wide>(mirror, i) * a2;
        PutSample<Wide>(out, i, weight == 0 ? 0 : uint32_t(sum / weight));
    }
    if (kAlpha) PutSample<Wide>(out, kColours, uint32_t(weight >> 1));
}

template <size_t Channels, bool Wide>
void BlendFormRows(const uint8_t* in, uint8_t* out, size_t width, size_t rows) {
    constexpr size_t kPixelBytes = Channels * (Wide ? 2 : 1);
    const size_t rowBytes = width * kPixelBytes;
    uint8_t blended[kPixelBytes];
    for (size_t r = 0; r < rows; ++r, in += rowBytes, out += rowBytes) {
        for (size_t c = 0, m = width - 1; c <= m && m < width; ++c, --m) {
            BlendSamples<Channels, Wide>(in + c * kPixelBytes, in + m * kPixelBytes, blended);
            std::memcpy(out + c * kPixelBytes, blended, kPixelBytes);
            std::memcpy(out + m * kPixelBytes, blended, kPixelBytes);
        }
    }
}

}  // namespace

void ConvertPixels(ExchangeState& state) {
    std::cout << "Converting Image\n";
    const size_t width = uint32_t(state.Width);
    if (width == 0) return;
    // Rows follow from PixelCount, the size of the payload actually held; the blend is a row's
    // own, so an animation's frames, back to back, are rows one after another.
    const size_t rows = state.PixelCount / width * size_t(state.Frames);
    const auto* in = reinterpret_cast<const uint8_t*>(state.InputPixels);
    auto* out = reinterpret_cast<uint8_t*>(state.OutputPixels);
    const bool wide = state.Depth == 16;
    switch (state.Channels) {
        case 1:
            wide ? BlendFormRows<1, true>(in, out, width, rows)
                 : BlendFormRows<1, false>(in, out, width, rows);
            break;
        case 2:
            wide ? BlendFormRows<2, true>(in, out, width, rows)
                 : BlendFormRows<2, false>(in, out, width, rows);
            break;
        case 4:
            wide ? BlendFormRows<4, true>(in, out, width, rows)
                 : BlendFormRows<4, false>(in, out, width, rows);
            break;
        default:
            if (wide) {
                BlendFormRows<3, true>(in, out, width, rows);
            } else {
                for (size_t r = 0; r < rows; ++r)
                    BlendRow(state.InputPixels + r * width, state.OutputPixels + r * width, width);
            }
            break;
    }
}

}  // namespace AmbrelModule
