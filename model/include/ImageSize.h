// Size arithmetic for image rows, pixel blocks and palettes: the one place that multiplies
// widths, heights and depths. Everything is counted in 64 bits and must fit a signed 32-bit count.
#pragma once

#include <cstdint>
#include <limits>

// The largest row or pixel block an image may have: byte counts travel as signed 32-bit values.
constexpr uint64_t kMaxImageBytes = uint64_t(std::numeric_limits<int32_t>::max());
// Depths above this have no meaning for a bitmap row.
constexpr uint16_t kMaxBitsPerPixel = 32;
// Depths up to this carry a palette of 2^bpp entries.
constexpr uint16_t kMaxPaletteBits = 8;

// The depths an image holds: 1, 4, 8, 16, 24 and 32 bits per pixel.
inline bool IsSupportedBitCount(uint16_t bpp) {
    return bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32;
}

// Bytes of pixels pixels of bpp bits packed without padding (a file row, a scratch row), the last
// byte counted whole. False for a count of 0 or less, a depth of 0 or above 32, or more bytes
// than kMaxImageBytes.
inline bool ComputeRowBytes(int64_t pixels, uint32_t bpp, uint64_t& bytes) {
    if (pixels <= 0 || uint64_t(pixels) > kMaxImageBytes || bpp == 0 || bpp > kMaxBitsPerPixel) return false;
    const uint64_t total = (uint64_t(pixels) * bpp + 7) / 8;
    if (total > kMaxImageBytes) return false;
    bytes = total;
    return true;
}

// Bytes of count items of itemBytes each (the rows of a buffer, the entries of a row table).
// False for a count of 0 or less, or more bytes than kMaxImageBytes.
inline bool ComputeBufferBytes(uint64_t itemBytes, int64_t count, uint64_t& bytes) {
    if (count <= 0 || uint64_t(count) > kMaxImageBytes || itemBytes > kMaxImageBytes) return false;
    const uint64_t total = itemBytes * uint64_t(count);
    if (total > kMaxImageBytes) return false;
    bytes = total;
    return true;
}

// Bytes of one stored row: the bits of width pixels brought up to whole 32-bit words.
// False for a width of 0 or less, a depth of 0 or above 32, or a row that does not fit int32.
inline bool ComputeStride(int32_t width, uint16_t bpp, int32_t& stride) {
    uint64_t bytes = 0;
    if (!ComputeRowBytes(width, bpp, bytes)) return false;
    bytes = (bytes + 3) / 4 * 4;
    if (bytes > kMaxImageBytes) return false;
    stride = int32_t(bytes);
    return true;
}

// Bytes of a whole pixel block, height rows of ComputeStride bytes each.
// False when either dimension is 0 or less or the block does not fit int32.
inline bool ComputeImageBytes(int32_t width, int32_t height, uint16_t bpp, uint32_t& bytes) {
    int32_t stride = 0;
    uint64_t total = 0;
    if (!ComputeStride(width, bpp, stride) || !ComputeBufferBytes(uint64_t(stride), height, total))
        return false;
    bytes = uint32_t(total);
    return true;
}

// Out of the box: 2^28 pixels (16384 x 16384), well above any camera and far below a bomb.
constexpr uint64_t kDefaultPixelLimit = uint64_t(1) << 28;
// The most a caller may allow: the largest picture whose 24-bit pixel block the model can hold.
constexpr uint64_t kMaxPixelLimit = kMaxImageBytes / 3;
// All the frames of an animation together may hold this many times the pixel limit: a 300-frame
// 1080p GIF passes the default, a few kilobytes claiming thousands of large frames do not.
constexpr uint64_t kFramesPerPixelLimit = 4;
// And at most this many frames, whatever their size: each costs a little of its own, and a TIFF
// numbers its pages in 16 bits.
constexpr uint64_t kMaxFrames = 65535;

// Entries of the palette an image of this depth carries: 2^bpp up to 8 bits, 0 above.
inline uint32_t PaletteEntryCount(uint16_t bpp) {
    return (bpp >= 1 && bpp <= kMaxPaletteBits) ? (uint32_t(1) << bpp) : 0;
}
