// Fuzz target: the TGA decoder on any bytes, read from a file through a small window as the
// host reads it, and from the whole block.
#include "FuzzSupport.h"
#include "ImageHandle_Tga.h"

namespace {

constexpr size_t kWidthOffset = 12;
constexpr size_t kHeightOffset = 14;
constexpr size_t kDepthOffset = 16;

}  // namespace

int FuzzTgaLoad(const uint8_t* data, size_t size) {
    using namespace fuzzsupport;
    if (size > size_t(INT32_MAX)) return 0;
    const uint32_t depth = size > kDepthOffset ? data[kDepthOffset] : 0;
    if (!WithinDecodeCap(PeekU16(data, size, kWidthOffset), PeekU16(data, size, kHeightOffset), depth,
                         kFuzzWindowedMaxBytes))
        return 0;
    return LoadThroughFileAndTouch<FCImageHandle_Tga>(data, size);
}
