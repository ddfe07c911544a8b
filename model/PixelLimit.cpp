// The size checks every reader makes from its header, against the limit the load was given.
#include "PixelLimit.h"

#include <algorithm>

namespace {

constexpr uint16_t kHeldBits = 24;

uint64_t Magnitude(int64_t value) {
    return value < 0 ? uint64_t(0) - uint64_t(value) : uint64_t(value);
}

}  // namespace

bool WithinPixelLimit(int64_t width, int64_t height, uint64_t limit) {
    const uint64_t w = Magnitude(width);
    const uint64_t h = Magnitude(height);
    // Both are below 2^63; a product past the limit is detected without overflowing.
    return w == 0 || h == 0 || w <= limit / h;
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

bool WithinHeldLimit(int64_t width, int64_t height, uint32_t pixelBytes) {
    const uint64_t w = Magnitude(width);
    const uint64_t h = Magnitude(height);
    if (w == 0 || h == 0) return true;
    return pixelBytes == 0 ||
           (w <= kMaxHeldSampleBytes / pixelBytes && h <= kMaxHeldSampleBytes / (w * pixelBytes));
}

bool CheckPictureSize(int64_t width, int64_t height, uint16_t bpp, const LoadOptions& options,
                      LoadResult& result) {
    LoadStatus refusal = LoadStatus::Loaded;
    if (!WithinPixelLimit(width, height, options.PixelLimit)) {
        refusal = LoadStatus::OverPixelLimit;
    } else if (!WithinImageLimit(width, height, bpp) || !WithinImageLimit(width, height, kHeldBits) ||
               !WithinHeldLimit(width, height, options.HeldPixelBytes)) {
        refusal = LoadStatus::OverImageLimit;
    }
    if (refusal == LoadStatus::Loaded) return true;
    result.Status = refusal;
    result.Width = Magnitude(width);
    result.Height = Magnitude(height);
    return false;
}

bool CheckFramesSize(int64_t width, int64_t height, uint64_t frames, const LoadOptions& options,
                     LoadResult& result) {
    const uint64_t w = Magnitude(width), h = Magnitude(height);
    const uint64_t pixelBytes = std::max<uint32_t>(options.HeldPixelBytes, 1);
    // Each frame is within the pixel limit already, so w x h cannot overflow here.
    const uint64_t most = std::min(options.FramesPixelLimit(), kMaxHeldSampleBytes / pixelBytes);
    if (w == 0 || h == 0 || (frames <= kMaxFrames && frames <= most / (w * h))) return true;
    result.Status = LoadStatus::OverFrameLimit;
    result.Width = w;
    result.Height = h;
    result.Frames = frames;
    return false;
}
