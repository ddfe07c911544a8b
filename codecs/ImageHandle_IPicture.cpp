// JPEG and GIF reader: tells the format by the file's first bytes, never by its name, and hands
// the bytes to the matching decoder.
#include "ImageHandle_IPicture.h"

#include <cstring>
#include <memory>

#include "PictureDecoders.h"

namespace {

constexpr uint8_t kJpegSignature[] = {0xFF, 0xD8, 0xFF};
constexpr char kGif87Signature[] = "GIF87a";
constexpr char kGif89Signature[] = "GIF89a";
constexpr size_t kGifSignatureLength = sizeof(kGif87Signature) - 1;

enum class PictureFormat { Unknown, Jpeg, Gif };

PictureFormat SniffFormat(const uint8_t* data, size_t length) {
    if (length >= sizeof(kJpegSignature) && std::memcmp(data, kJpegSignature, sizeof(kJpegSignature)) == 0) {
        return PictureFormat::Jpeg;
    }
    if (length >= kGifSignatureLength && (std::memcmp(data, kGif87Signature, kGifSignatureLength) == 0 ||
                                          std::memcmp(data, kGif89Signature, kGifSignatureLength) == 0)) {
        return PictureFormat::Gif;
    }
    return PictureFormat::Unknown;
}

}  // namespace

bool FCImageHandle_IPicture::LoadMemory(const uint8_t* data, int32_t length) {
    if (data == nullptr || length <= 0) return false;
    const size_t size = size_t(length);
    auto image = std::make_unique<FCObjImage>();
    bool decoded = false;
    switch (SniffFormat(data, size)) {
        case PictureFormat::Jpeg:
            decoded = DecodeJpegPicture(data, size, *image, Result, Metadata);
            break;
        case PictureFormat::Gif:
            decoded = DecodeGifPicture(data, size, *image, Result);
            break;
        case PictureFormat::Unknown:
            return false;
    }
    if (!decoded || !image->IsValid()) return false;
    PushObject(image.get());
    image.release();
    return true;
}
