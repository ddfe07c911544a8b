// The eight EXIF orientations as one source lookup per shown pixel: for each, where the pixel
// shown at column x, row y (top-down) lies in the stored picture.
#include "Orientation.h"

#include <cstddef>
#include <cstring>

namespace {

constexpr size_t kPixelBytes = 3;
constexpr uint16_t kFirstQuarterTurn = 5;
constexpr uint16_t kLastOrientation = 8;

struct Point {
    int32_t X;
    int32_t Y;
};

// w and h are the stored picture's width and height.
Point StoredPixel(uint16_t orientation, int32_t x, int32_t y, int32_t w, int32_t h) {
    switch (orientation) {
        case 2:
            return {w - 1 - x, y};  // mirrored left to right
        case 3:
            return {w - 1 - x, h - 1 - y};  // half turn
        case 4:
            return {x, h - 1 - y};  // mirrored top to bottom
        case 5:
            return {y, x};  // transposed
        case 6:
            return {y, h - 1 - x};  // shown a quarter turn clockwise
        case 7:
            return {w - 1 - y, h - 1 - x};  // transverse
        case 8:
            return {w - 1 - y, x};  // shown a quarter turn anticlockwise
        default:
            return {x, y};
    }
}

// Copies the stored picture (row 0 at stored, rows stride bytes apart, w x h) turned into the rows
// target(y) hands out. Along a shown row the stored pixel moves by one fixed step, so each row
// takes two lookups and then fixed steps.
template <size_t PixelBytes, class TargetRow>
void CopyTurned(uint16_t orientation, const uint8_t* stored, ptrdiff_t stride, int32_t w, int32_t h,
                TargetRow target) {
    const bool quarter = orientation >= kFirstQuarterTurn;
    const int32_t shownWidth = quarter ? h : w;
    const int32_t shownHeight = quarter ? w : h;
    for (int32_t y = 0; y < shownHeight; ++y) {
        const Point first = StoredPixel(orientation, 0, y, w, h);
        // A row of one pixel takes no step: its neighbour would lie outside the picture.
        const Point next = shownWidth > 1 ? StoredPixel(orientation, 1, y, w, h) : first;
        const ptrdiff_t step = (next.Y - first.Y) * stride + (next.X - first.X) * ptrdiff_t(PixelBytes);
        const uint8_t* from = stored + first.Y * stride + first.X * ptrdiff_t(PixelBytes);
        uint8_t* to = target(y);
        for (int32_t x = 0; x < shownWidth; ++x, to += PixelBytes)
            std::memcpy(to, from + x * step, PixelBytes);
    }
}

}  // namespace

bool TurnAsOrientationSays(FCObjImage& image, uint16_t orientation) {
    if (orientation < 2 || orientation > kLastOrientation || !image.IsValid()) return true;
    const int32_t w = image.InfoHeader.biWidth;
    const int32_t h = image.InfoHeader.biHeight;
    const bool quarter = orientation >= kFirstQuarterTurn;
    FCObjImage turned;
    if (!turned.Create(quarter ? h : w, quarter ? w : h, 24)) return false;
    turned.InfoHeader.biXPelsPerMeter =
        quarter ? image.InfoHeader.biYPelsPerMeter : image.InfoHeader.biXPelsPerMeter;
    turned.InfoHeader.biYPelsPerMeter =
        quarter ? image.InfoHeader.biXPelsPerMeter : image.InfoHeader.biYPelsPerMeter;
    // Stored bottom-up in one block: the rows are evenly spaced, backwards.
    const ptrdiff_t stride = h > 1 ? image.RowTable[1] - image.RowTable[0] : 0;
    CopyTurned<kPixelBytes>(orientation, image.RowTable[0], stride, w, h,
                            [&](int32_t y) { return turned.RowTable[y]; });
    image.SwapStorage(turned);
    return true;
}

bool TurnAsOrientationSays(FCSampleImage& samples, uint16_t orientation) {
    if (orientation < 2 || orientation > kLastOrientation || !samples.IsValid()) return true;
    const int32_t w = samples.Width;
    const int32_t h = samples.Height;
    const bool quarter = orientation >= kFirstQuarterTurn;
    FCSampleImage turned;
    if (!turned.Create(quarter ? h : w, quarter ? w : h, samples.Channels, samples.MaxValue)) return false;
    turned.XPixelsPerMetre = quarter ? samples.YPixelsPerMetre : samples.XPixelsPerMetre;
    turned.YPixelsPerMetre = quarter ? samples.XPixelsPerMetre : samples.YPixelsPerMetre;
    // Every channel moves with its pixel.
    const auto target = [&](int32_t y) { return turned.Row(y); };
    const ptrdiff_t stride = ptrdiff_t(samples.RowBytes());
    switch (size_t(samples.Channels) * samples.BytesPerSample()) {
        case 3:
            CopyTurned<3>(orientation, samples.Samples, stride, w, h, target);
            break;
        case 4:
            CopyTurned<4>(orientation, samples.Samples, stride, w, h, target);
            break;
        case 6:
            CopyTurned<6>(orientation, samples.Samples, stride, w, h, target);
            break;
        default:
            CopyTurned<8>(orientation, samples.Samples, stride, w, h, target);
    }
    samples.SwapWith(turned);
    return true;
}
