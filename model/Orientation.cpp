// The eight EXIF orientations as one source lookup per shown pixel: for each, where the pixel
// shown at column x, row y (top-down) lies in the stored picture.
#include "Orientation.h"

#include <cstddef>
#include <cstring>

#include "PictureView.h"

namespace {

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

// Copies the stored picture from shows into to, turned: to has the shown size and from's layout.
// Along a shown row the stored pixel moves by one fixed step, so each row takes two lookups and then
// fixed steps.
template <size_t PixelBytes>
void CopyTurned(uint16_t orientation, const PictureView& from, const PictureView& to) {
    const int32_t w = from.Width;
    const int32_t h = from.Height;
    for (int32_t y = 0; y < to.Height; ++y) {
        const Point first = StoredPixel(orientation, 0, y, w, h);
        // A row of one pixel takes no step: its neighbour would lie outside the picture.
        const Point next = to.Width > 1 ? StoredPixel(orientation, 1, y, w, h) : first;
        const ptrdiff_t step = (next.Y - first.Y) * from.Stride + (next.X - first.X) * ptrdiff_t(PixelBytes);
        const uint8_t* stored = from.Row(first.Y) + first.X * ptrdiff_t(PixelBytes);
        uint8_t* shown = to.Row(y);
        for (int32_t x = 0; x < to.Width; ++x, shown += PixelBytes)
            std::memcpy(shown, stored + x * step, PixelBytes);
    }
}

// The one turn, whatever holds the pixels: every channel moves with its pixel.
void CopyTurned(uint16_t orientation, const PictureView& from, const PictureView& to) {
    switch (from.Layout.PixelBytes()) {
        case 3:
            CopyTurned<3>(orientation, from, to);
            break;
        case 4:
            CopyTurned<4>(orientation, from, to);
            break;
        case 6:
            CopyTurned<6>(orientation, from, to);
            break;
        case 8:
            CopyTurned<8>(orientation, from, to);
            break;
        case 2:
            CopyTurned<2>(orientation, from, to);
            break;
        default:
            CopyTurned<1>(orientation, from, to);
    }
}

bool Turns(uint16_t orientation) {
    return orientation >= 2 && orientation <= kLastOrientation;
}

}  // namespace

bool TurnAsOrientationSays(FCObjImage& image, uint16_t orientation) {
    if (!Turns(orientation) || !image.IsValid()) return true;
    const PictureView from = ViewOf(image);
    if (!from.Valid()) return false;
    const bool quarter = orientation >= kFirstQuarterTurn;
    FCObjImage turned;
    if (!turned.Create(quarter ? from.Height : from.Width, quarter ? from.Width : from.Height, 24))
        return false;
    turned.InfoHeader.biXPelsPerMeter = quarter ? from.YPixelsPerMetre : from.XPixelsPerMetre;
    turned.InfoHeader.biYPelsPerMeter = quarter ? from.XPixelsPerMetre : from.YPixelsPerMetre;
    CopyTurned(orientation, from, ViewOf(turned));
    image.SwapStorage(turned);
    return true;
}

bool TurnAsOrientationSays(FCSampleImage& samples, uint16_t orientation) {
    if (!Turns(orientation) || !samples.IsValid()) return true;
    const PictureView from = ViewOf(samples);
    const bool quarter = orientation >= kFirstQuarterTurn;
    FCSampleImage turned;
    if (!turned.Create(quarter ? from.Height : from.Width, quarter ? from.Width : from.Height,
                       samples.Channels, samples.MaxValue))
        return false;
    turned.XPixelsPerMetre = quarter ? from.YPixelsPerMetre : from.XPixelsPerMetre;
    turned.YPixelsPerMetre = quarter ? from.XPixelsPerMetre : from.YPixelsPerMetre;
    CopyTurned(orientation, from, ViewOf(turned));
    samples.SwapWith(turned);
    return true;
}
