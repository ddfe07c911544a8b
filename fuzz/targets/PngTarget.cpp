// Fuzz target: FCImageHandle_Png::LoadMemory on any bytes. The size is read from the header chunk,
// which a PNG must start with, so the cap is checked before any pixel is decoded. Our chunk walk
// also reads every input whole, decodable or not.
#include "ByteOrder.h"
#include "ByteSource.h"
#include "FuzzSupport.h"
#include "ImageHandle_Png.h"
#include "PictureBits.h"
#include "PngChunks.h"

namespace {

constexpr size_t kWidthOffset = 16;
constexpr size_t kHeightOffset = 20;

// PNG fields are big-endian.
uint32_t PeekU32BE(const uint8_t* data, size_t size, size_t at) {
    return at + 4 <= size ? GetU32BE(data + at) : 0;
}

}  // namespace

int FuzzPngLoadMemory(const uint8_t* data, size_t size) {
    using namespace fuzzsupport;
    if (size > size_t(INT32_MAX)) return 0;
    PngChunkList chunks;
    std::string reason;
    ByteSource in(data, size);
    if (WalkPngChunks(in, chunks, reason)) {
        PictureMetadata metadata;
        PngExtras extras;
        std::vector<std::string> warnings;
        ReadPngMetadata(chunks, metadata, extras, warnings);
        TouchBytes(metadata.IccProfile.data(), metadata.IccProfile.size());
        TouchBytes(metadata.Xmp.data(), metadata.Xmp.size());
    }
    const uint32_t width = PeekU32BE(data, size, kWidthOffset);
    const uint32_t height = PeekU32BE(data, size, kHeightOffset);
    if (!WithinDecodeCap(width, height, kPictureBits)) return 0;
    return LoadAndTouch<FCImageHandle_Png>(data, size);
}
