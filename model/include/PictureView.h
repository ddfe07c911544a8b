// How the samples of a picture lie in memory, a look at a picture's rows that owns nothing, and the
// one conversion of rows between layouts. Every form a picture takes on its way (the file's own
// samples, the 24-bit image, the exchange's form, what a writer stores) is a layout; readers and
// writers say theirs and this converts, so no reader or writer needs to know which image it fills.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ObjImage.h"
#include "SampleImage.h"

struct PixelLayout {
    // 1 grey, 2 grey and alpha, 3 colour, 4 colour and alpha.
    uint32_t Channels = 3;
    // The largest value a sample takes, 1 to 65535: up to 255 a byte a sample, above it two, the
    // most significant first.
    uint32_t MaxValue = 255;
    // Colour stored blue, green, red (and alpha), as the 24-bit image holds it; only for samples of
    // a byte.
    bool BlueFirst = false;

    bool HasAlpha() const { return Channels == 2 || Channels == 4; }
    bool Colour() const { return Channels >= 3; }
    bool Wide() const { return MaxValue > 255; }
    size_t PixelBytes() const { return size_t(Channels) * (Wide() ? 2 : 1); }
    size_t RowBytes(int32_t width) const { return size_t(width) * PixelBytes(); }
    bool operator==(const PixelLayout& other) const {
        return Channels == other.Channels && MaxValue == other.MaxValue && BlueFirst == other.BlueFirst;
    }
    bool operator!=(const PixelLayout& other) const { return !(*this == other); }
};

// The 24-bit image's pixels.
constexpr PixelLayout kImage24Layout{3, 255, true};

// Rows of a picture as they lie: row y starts at Top + y x Stride, top first, whichever way the
// image stores them. A description, not a copy: valid while the image is unchanged.
struct PictureView {
    uint8_t* Top = nullptr;
    ptrdiff_t Stride = 0;
    int32_t Width = 0;
    int32_t Height = 0;
    PixelLayout Layout;
    int32_t XPixelsPerMetre = 0;  // 0: none
    int32_t YPixelsPerMetre = 0;

    bool Valid() const { return Top != nullptr && Width > 0 && Height > 0; }
    uint8_t* Row(int32_t y) const { return Top + ptrdiff_t(y) * Stride; }
    size_t RowBytes() const { return Layout.RowBytes(Width); }
};

PictureView ViewOf(const FCSampleImage& samples);
// A 24-bit image; of any other depth, a view of its size and resolution that is not Valid.
PictureView ViewOf(const FCObjImage& image);

// Rows of one layout taken into another. Samples are scaled by the one rule of SampleValueTable
// (narrowing rounds to the nearest; samples of 8 bits or fewer widen through 8 bits, then x 257);
// grey becomes colour by its value in each channel; alpha that the source lacks is opaque, and
// alpha the target lacks is left out. Samples above the source's MaxValue count as the largest.
// Colour does not become grey here: such a pair is not Possible.
class LayoutConversion {
  public:
    LayoutConversion(PixelLayout from, PixelLayout to);
    bool Possible() const { return possible_; }
    // The rows pass unchanged.
    bool Same() const { return from_ == to_; }
    // Pixels first, first + step, ... below end of row in into the same places of row out. in and
    // out may be the same row when the target's pixels are no larger than the source's, or when
    // step is 1 and the rows are walked by Backwards for a larger one.
    void Convert(const uint8_t* in, uint8_t* out, uint32_t first, uint32_t step, uint32_t end) const;
    // The same for pixels end - 1 down to first, so that a row can grow in place.
    void ConvertBackwards(const uint8_t* in, uint8_t* out, uint32_t first, uint32_t end) const;

  private:
    template <bool Backwards>
    void Walk(const uint8_t* in, uint8_t* out, uint32_t first, uint32_t step, uint32_t end) const;

    PixelLayout from_;
    PixelLayout to_;
    bool possible_ = true;
    bool swapOnly_ = false;         // blue and red trade places, nothing else
    int source_[4] = {0, 0, 0, 0};  // of each target channel, the source channel; -1: opaque alpha
    std::vector<uint16_t> values_;
};

// The rows of a picture in the layout a writer stores: its own rows where the layouts agree, else
// each through one row's buffer.
class RowSource {
  public:
    RowSource(const PictureView& view, PixelLayout layout);
    // Row y, top first; valid until the next call.
    const uint8_t* Row(int32_t y);
    size_t RowBytes() const { return layout_.RowBytes(view_.Width); }
    const PixelLayout& Layout() const { return layout_; }

  private:
    PictureView view_;
    PixelLayout layout_;
    LayoutConversion conversion_;
    std::vector<uint8_t> row_;  // empty when the picture's own rows are handed out
};

// Of the layouts a writer takes (count of them), the one it is handed a picture of layout has in:
// grey kept grey where some layout is grey, then the picture's alpha kept when it has any and some layout
// holds it, then its depth, then the writer's first; never one the picture cannot be converted to.
PixelLayout ChooseLayout(const PixelLayout& has, const PixelLayout* takes, size_t count);
