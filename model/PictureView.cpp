// Views over the two images, the one conversion of rows between layouts, and the writer's rows.
#include "PictureView.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "PixelRows.h"

PictureView ViewOf(const FCSampleImage& samples) {
    PictureView view;
    if (!samples.IsValid()) return view;
    view.Top = samples.Samples;
    view.Stride = ptrdiff_t(samples.RowBytes());
    view.Width = samples.Width;
    view.Height = samples.Height;
    view.Layout = PixelLayout{samples.Channels, samples.MaxValue, false};
    view.XPixelsPerMetre = samples.XPixelsPerMetre;
    view.YPixelsPerMetre = samples.YPixelsPerMetre;
    return view;
}

PictureView ViewOf(const FCObjImage& image) {
    PictureView view;
    if (!image.IsValid()) return view;
    // An image of another depth still has its size and resolution; its rows are no layout's.
    view.Width = image.InfoHeader.biWidth;
    view.Height = image.InfoHeader.biHeight;
    view.Layout = kImage24Layout;
    view.XPixelsPerMetre = image.InfoHeader.biXPelsPerMeter;
    view.YPixelsPerMetre = image.InfoHeader.biYPelsPerMeter;
    if (image.InfoHeader.biBitCount != 24) return view;
    view.Top = image.RowTable[0];
    // Bottom-up: the row below the top lies one stride before it.
    view.Stride = -ptrdiff_t(image.Stride());
    return view;
}

namespace {

// Where each of red, green, blue and alpha lies among a layout's channels; -1 for no alpha.
void ComponentPlaces(const PixelLayout& layout, int places[4]) {
    const bool grey = !layout.Colour();
    places[0] = grey ? 0 : (layout.BlueFirst ? 2 : 0);
    places[1] = grey ? 0 : 1;
    places[2] = grey ? 0 : (layout.BlueFirst ? 0 : 2);
    places[3] = layout.HasAlpha() ? int(layout.Channels) - 1 : -1;
}

}  // namespace

LayoutConversion::LayoutConversion(PixelLayout from, PixelLayout to) : from_(from), to_(to) {
    possible_ = from.Channels >= 1 && from.Channels <= 4 && to.Channels >= 1 && to.Channels <= 4 &&
                from.MaxValue >= 1 && from.MaxValue <= 65535 && to.MaxValue >= 1 && to.MaxValue <= 65535 &&
                !(from.Colour() && !to.Colour());
    if (!possible_ || Same()) return;
    int fromPlaces[4];
    int toPlaces[4];
    ComponentPlaces(from, fromPlaces);
    ComponentPlaces(to, toPlaces);
    // A grey target takes the grey; a colour one each of red, green and blue.
    for (int component = 0; component < 4; ++component) {
        if (component > 0 && component < 3 && !to.Colour()) continue;
        if (toPlaces[component] >= 0) source_[toPlaces[component]] = fromPlaces[component];
    }
    swapOnly_ =
        from.MaxValue == to.MaxValue && from.Channels == to.Channels && from.Colour() && from.MaxValue == 255;
    if (!swapOnly_) values_ = SampleValueTable(from.MaxValue, to.MaxValue);
}

namespace {

// Calls body with std::integral_constant of the count, 1 to 4, so that a pixel's loop unrolls.
template <class Body>
void WithChannelCount(uint32_t count, Body&& body) {
    switch (count) {
        case 1:
            body(std::integral_constant<uint32_t, 1>());
            break;
        case 2:
            body(std::integral_constant<uint32_t, 2>());
            break;
        case 3:
            body(std::integral_constant<uint32_t, 3>());
            break;
        default:
            body(std::integral_constant<uint32_t, 4>());
            break;
    }
}

// A sample between full ranges (255 and 65535) by the table's rule, as arithmetic: widening is
// x 257, narrowing (value x 255 + 32767) / 65535, rounded to the nearest, without a division.
template <bool WideIn, bool WideOut>
uint32_t FullRangeSample(uint32_t value) {
    if (WideIn == WideOut) return value;
    if (WideOut) return value * 257;
    const uint32_t x = value * 255 + 32767;
    return (x + 1 + (x >> 16)) >> 16;
}

// Colour into colour between full ranges, every place known when compiled: the rows of nearly
// every run (the 24-bit image to and from samples, samples to what a writer stores) take this.
template <uint32_t FromChannels, uint32_t ToChannels, bool Swap, bool WideIn, bool WideOut>
void ColourRow(const uint8_t* in, uint8_t* out, uint32_t first, uint32_t end) {
    const auto scale = [](uint32_t value) { return FullRangeSample<WideIn, WideOut>(value); };
    constexpr uint32_t kOpaque = WideOut ? 65535 : 255;
    for (uint32_t x = first; x < end; ++x) {
        const size_t i = size_t(x) * FromChannels;
        uint32_t pixel[ToChannels];
        for (uint32_t c = 0; c < 3; ++c) pixel[c] = scale(GetSample<WideIn>(in, i + (Swap ? 2 - c : c)));
        if (ToChannels == 4)
            pixel[ToChannels - 1] = FromChannels == 4 ? scale(GetSample<WideIn>(in, i + 3)) : kOpaque;
        const size_t o = size_t(x) * ToChannels;
        for (uint32_t c = 0; c < ToChannels; ++c) PutSample<WideOut>(out, o + c, pixel[c]);
    }
}

template <class Body>
void WithFlag(bool flag, Body&& body) {
    if (flag) {
        body(std::true_type());
    } else {
        body(std::false_type());
    }
}

}  // namespace

template <bool Backwards>
void LayoutConversion::Walk(const uint8_t* in, uint8_t* out, uint32_t first, uint32_t step,
                            uint32_t end) const {
    const uint32_t fromChannels = from_.Channels;
    const uint32_t most = from_.MaxValue;
    const uint32_t opaque = to_.MaxValue;
    // Between full ranges (255 and 65535) the table's rule is plain arithmetic: the common forms
    // cost a multiply, not a lookup in a table that may not fit the cache.
    const auto full = [](uint32_t maxValue) { return maxValue == 255 || maxValue == 65535; };
    const bool arithmetic = swapOnly_ || (full(from_.MaxValue) && full(to_.MaxValue));
    const int* const source = source_;
    const uint16_t* const table = values_.data();
    WithSampleWidth(from_.Wide(), [&](auto wideIn) {
        WithSampleWidth(to_.Wide(), [&](auto wideOut) {
            WithChannelCount(to_.Channels, [&](auto count) {
                constexpr uint32_t toChannels = decltype(count)::value;
                WithSampleWidth(arithmetic, [&](auto byRule) {
                    const auto one = [&](uint32_t x) {
                        // The pixel is read whole before any of it is written: in and out may be one row.
                        uint32_t pixel[toChannels];
                        const size_t i = size_t(x) * fromChannels;
                        for (uint32_t c = 0; c < toChannels; ++c) {
                            const int from = source[c];
                            if (from < 0) {
                                pixel[c] = opaque;
                                continue;
                            }
                            const uint32_t value = GetSample<wideIn>(in, i + size_t(from));
                            pixel[c] = byRule ? FullRangeSample<wideIn, wideOut>(value)
                                              : table[std::min(value, most)];
                        }
                        const size_t o = size_t(x) * toChannels;
                        for (uint32_t c = 0; c < toChannels; ++c) PutSample<wideOut>(out, o + c, pixel[c]);
                    };
                    if (Backwards) {
                        for (uint32_t x = end; x-- > first;) one(x);
                    } else if (step == 1) {
                        for (uint32_t x = first; x < end; ++x) one(x);
                    } else {
                        for (uint32_t x = first; x < end; x += step) one(x);
                    }
                });
            });
        });
    });
}

void LayoutConversion::Convert(const uint8_t* in, uint8_t* out, uint32_t first, uint32_t step,
                               uint32_t end) const {
    if (!possible_ || step == 0 || first >= end) return;
    if (Same()) {
        const size_t bytes = from_.PixelBytes();
        if (step == 1) {
            if (in != out) std::memmove(out + first * bytes, in + first * bytes, size_t(end - first) * bytes);
            return;
        }
        for (uint32_t x = first; x < end && in != out; x += step)
            std::memcpy(out + x * bytes, in + x * bytes, bytes);
        return;
    }
    if (swapOnly_ && from_.Channels == 3 && step == 1) {
        // The 24-bit image to and from files: the one swap, without a sample at a time.
        if (in == out) {
            SwapRedAndBlue(out + size_t(first) * 3, end - first);
        } else {
            CopySwappingRedAndBlue(in + size_t(first) * 3, out + size_t(first) * 3, end - first);
        }
        return;
    }
    const auto full = [](uint32_t maxValue) { return maxValue == 255 || maxValue == 65535; };
    if (step == 1 && from_.Colour() && to_.Colour() && full(from_.MaxValue) && full(to_.MaxValue)) {
        // In place only where the target's pixel is no larger: each pixel is read before it is written.
        WithFlag(from_.Channels == 4, [&](auto fromAlpha) {
            WithFlag(to_.Channels == 4, [&](auto toAlpha) {
                WithFlag(from_.BlueFirst != to_.BlueFirst, [&](auto swap) {
                    WithFlag(from_.Wide(), [&](auto wideIn) {
                        WithFlag(to_.Wide(), [&](auto wideOut) {
                            ColourRow<fromAlpha ? 4 : 3, toAlpha ? 4 : 3, swap, wideIn, wideOut>(in, out,
                                                                                                 first, end);
                        });
                    });
                });
            });
        });
        return;
    }
    Walk<false>(in, out, first, step, end);
}

void LayoutConversion::ConvertBackwards(const uint8_t* in, uint8_t* out, uint32_t first, uint32_t end) const {
    if (!possible_ || first >= end) return;
    if (Same()) {
        Convert(in, out, first, 1, end);
        return;
    }
    Walk<true>(in, out, first, 1, end);
}

RowSource::RowSource(const PictureView& view, PixelLayout layout)
    : view_(view), layout_(layout), conversion_(view.Layout, layout) {
    if (!conversion_.Same()) row_.resize(layout.RowBytes(view.Width));
}

const uint8_t* RowSource::Row(int32_t y) {
    const uint8_t* in = view_.Row(y);
    if (row_.empty()) return in;
    conversion_.Convert(in, row_.data(), 0, 1, uint32_t(view_.Width));
    return row_.data();
}

PixelLayout ChooseLayout(const PixelLayout& has, const PixelLayout* takes, size_t count) {
    if (count == 0) return has;
    size_t best = 0;
    int bestScore = -1;
    for (size_t i = 0; i < count; ++i) {
        const PixelLayout& layout = takes[i];
        if (!LayoutConversion(has, layout).Possible()) continue;
        // Grey stays grey where the writer takes it; then alpha outweighs depth, and depth the
        // writer's order.
        const int score = (has.Colour() == layout.Colour() ? 4 : 0) +
                          (has.HasAlpha() == layout.HasAlpha() ? 2 : 0) +
                          (has.Wide() == layout.Wide() ? 1 : 0);
        if (score > bestScore) best = i, bestScore = score;
    }
    return takes[best];
}
