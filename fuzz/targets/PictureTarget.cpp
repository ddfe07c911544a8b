// Fuzz target: FCImageHandle_IPicture::LoadMemory (JPEG or GIF, as the first bytes say) on any bytes. The
// size comes from the same header reads the decoder makes, so the cap is checked before any pixel is decoded.
// The JPEG metadata reader also reads every input whole, decodable or not.
#include <turbojpeg.h>

#include "FuzzSupport.h"
#include "ImageHandle_IPicture.h"
#include "JpegSegments.h"
#include "PictureBits.h"

namespace {

constexpr uint8_t kJpegStart[] = {0xFF, 0xD8};
constexpr size_t kGifWidthOffset = 6;
constexpr size_t kGifHeightOffset = 8;
// Every picture decodes to 24 bits; a CMYK scratch copy adds at most a third more.

bool JpegSize(const uint8_t* data, size_t size, int& width, int& height) {
    tjhandle tj = tjInitDecompress();
    if (tj == nullptr) return false;
    int subsampling = 0;
    int colorspace = 0;
    tjDecompressHeader3(tj, data, static_cast<unsigned long>(size), &width, &height, &subsampling,
                        &colorspace);
    tjDestroy(tj);
    return true;
}

}  // namespace

int FuzzPictureLoadMemory(const uint8_t* data, size_t size) {
    using namespace fuzzsupport;
    if (size > size_t(INT32_MAX)) return 0;
    int width = 0;
    int height = 0;
    const bool jpeg = size >= sizeof kJpegStart && data[0] == kJpegStart[0] && data[1] == kJpegStart[1];
    if (jpeg) {
        PictureMetadata metadata;
        int32_t xPpm = 0;
        int32_t yPpm = 0;
        std::vector<std::string> warnings;
        ReadJpegMetadata(data, size, metadata, xPpm, yPpm, warnings);
        TouchBytes(metadata.IccProfile.data(), metadata.IccProfile.size());
        if (!JpegSize(data, size, width, height)) return 0;
    } else {
        width = int(PeekU16(data, size, kGifWidthOffset));
        height = int(PeekU16(data, size, kGifHeightOffset));
    }
    if (!WithinDecodeCap(width, height, kPictureBits)) return 0;
    using Format = FCImageHandle_IPicture::Format;
    return LoadAndTouchWith([jpeg] { return FCImageHandle_IPicture(jpeg ? Format::Jpeg : Format::Gif); },
                            data, size, kDefaultPixelLimit);
}
