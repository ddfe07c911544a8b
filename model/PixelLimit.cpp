// One limit for every reader, set once by the host's command line before anything loads.
#include "PixelLimit.h"

#include <algorithm>

namespace {

constexpr uint16_t kHeldBits = 24;

uint64_t gPixelLimit = kDefaultPixelLimit;

uint64_t Magnitude(int64_t value) {
    return value < 0 ? uint64_t(0) - uint64_t(value) : uint64_t(value);
}

}  // namespace

uint64_t GetPixelLimit() {
    return gPixelLimit;
}

void SetPixelLimit(uint64_t pixels) {
    gPixelLimit = std::clamp<uint64_t>(pixels, 1, kMaxPixelLimit);
}

bool WithinPixelLimit(int64_t width, int64_t height) {
    const uint64_t w = Magnitude(width);
    const uint64_t h = Magnitude(height);
    // Both are below 2^63; a product past the limit is detected without overflowing.
    return w == 0 || h == 0 || w <= gPixelLimit / h;
}

bool WithinImageLimit(int64_t width, int64_t height, uint16_t bpp) {
    const uint64_t w = Magnitude(width);
    const uint64_t h = Magnitude(height);
    if (w == 0 || h == 0) return true;
    if (w > kMaxImageBytes || h > kMaxImageBytes) return false;
    uint32_t pixelBytes = 0;
    uint64_t rowTableBytes = 0;
    // The row table costs a pointer per row: a narrow, absurdly tall picture must not buy
    // gigabytes of it on top of a pixel block that is within limits.
    return ComputeImageBytes(int32_t(w), int32_t(h), bpp, pixelBytes) &&
           ComputeBufferBytes(sizeof(uint8_t*), int64_t(h), rowTableBytes) &&
           rowTableBytes + pixelBytes <= kMaxImageBytes;
}

bool CheckPictureSize(int64_t width, int64_t height, uint16_t bpp, LoadResult& result) {
    LoadStatus refusal = LoadStatus::Loaded;
    if (!WithinPixelLimit(width, height)) {
        refusal = LoadStatus::OverPixelLimit;
    } else if (!WithinImageLimit(width, height, bpp) || !WithinImageLimit(width, height, kHeldBits)) {
        refusal = LoadStatus::OverImageLimit;
    }
    if (refusal == LoadStatus::Loaded) return true;
    result.Status = refusal;
    result.Width = Magnitude(width);
    result.Height = Magnitude(height);
    return false;
}
