// Fuzz target: FCImageHandle_Tga::LoadMemory on any bytes.
#include "FuzzSupport.h"
#include "ImageHandle_Tga.h"

namespace {

constexpr size_t kWidthOffset = 12;
constexpr size_t kHeightOffset = 14;
constexpr size_t kDepthOffset = 16;

}  // namespace

int FuzzTgaLoadMemory(const uint8_t* data, size_t size) {
    using namespace fuzzsupport;
    if (size > size_t(INT32_MAX)) return 0;
    const uint32_t depth = size > kDepthOffset ? data[kDepthOffset] : 0;
    if (!WithinDecodeCap(PeekU16(data, size, kWidthOffset), PeekU16(data, size, kHeightOffset), depth))
        return 0;
    return LoadAndTouch<FCImageHandle_Tga>(data, size);
}
