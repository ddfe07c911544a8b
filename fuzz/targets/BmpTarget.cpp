// Fuzz target: the BMP decoder on any bytes, read from a file through a small window as the
// host reads it, and from the whole block.
#include <cstdlib>

#include "FuzzSupport.h"
#include "ImageHandle_Bmp.h"

namespace {

constexpr size_t kWidthOffset = 18;
constexpr size_t kHeightOffset = 22;
constexpr size_t kBitCountOffset = 28;

}  // namespace

int FuzzBmpLoad(const uint8_t* data, size_t size) {
    using namespace fuzzsupport;
    if (size > size_t(INT32_MAX)) return 0;
    const int32_t width = PeekI32(data, size, kWidthOffset);
    // Top-down files give a negative height: the picture is as large as its magnitude.
    const int64_t height = std::abs(int64_t(PeekI32(data, size, kHeightOffset)));
    if (!WithinDecodeCap(width, height, PeekU16(data, size, kBitCountOffset), kFuzzWindowedMaxBytes))
        return 0;
    return LoadThroughFileAndTouch<FCImageHandle_Bmp>(data, size);
}
