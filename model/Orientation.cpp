// The eight EXIF orientations as one source lookup per shown pixel: for each, where the pixel
// shown at column x, row y (top-down) lies in the stored picture.
#include "Orientation.h"

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
    for (int32_t y = 0; y < turned.InfoHeader.biHeight; ++y) {
        uint8_t* row = turned.RowTable[y];
        for (int32_t x = 0; x < turned.InfoHeader.biWidth; ++x) {
            const Point from = StoredPixel(orientation, x, y, w, h);
            std::memcpy(row + size_t(x) * kPixelBytes, image.RowTable[from.Y] + size_t(from.X) * kPixelBytes,
                        kPixelBytes);
        }
    }
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
    const size_t pixelBytes = size_t(samples.Channels) * samples.BytesPerSample();
    for (int32_t y = 0; y < turned.Height; ++y) {
        uint8_t* row = turned.Row(y);
        for (int32_t x = 0; x < turned.Width; ++x) {
            const Point from = StoredPixel(orientation, x, y, w, h);
            std::memcpy(row + size_t(x) * pixelBytes, samples.Row(from.Y) + size_t(from.X) * pixelBytes,
                        pixelBytes);
        }
    }
    samples.SwapWith(turned);
    return true;
}
