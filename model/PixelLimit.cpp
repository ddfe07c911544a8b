// One limit for every reader, set once by the host's command line before anything loads.
#include "PixelLimit.h"

#include <algorithm>

namespace {

uint64_t gPixelLimit = kDefaultPixelLimit;
bool gRefused = false;
RefusedPictureSize gRefusedSize;

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

bool CheckPixelLimit(int64_t width, int64_t height) {
    const uint64_t w = Magnitude(width);
    const uint64_t h = Magnitude(height);
    // Both are below 2^63; a product past the limit is detected without overflowing.
    if (w == 0 || h == 0 || w <= gPixelLimit / h) return true;
    gRefused = true;
    gRefusedSize = {w, h};
    return false;
}

bool GetRefusedPictureSize(RefusedPictureSize& size) {
    if (gRefused) size = gRefusedSize;
    return gRefused;
}

void ClearRefusedPictureSize() {
    gRefused = false;
    gRefusedSize = {};
}
