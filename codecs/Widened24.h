// The picture a writer of 24-bit files only (PNG, JPEG) encodes: other depths are widened in a
// copy, so the caller's image is never changed by saving it.
#pragma once

#include <memory>

#include "ObjImage.h"

// image itself when it already has 24 bits, else a widened copy that widened keeps alive; null
// when the copy cannot be made or widened.
inline const FCObjImage* ImageAt24Bits(const FCObjImage& image, std::unique_ptr<FCObjImage>& widened) {
    constexpr uint16_t kWrittenBits = 24;
    if (image.InfoHeader.biBitCount == kWrittenBits) return &image;
    widened = std::make_unique<FCObjImage>(image);
    widened->ConvertTo24();
    if (!widened->IsValid() || widened->InfoHeader.biBitCount != kWrittenBits) return nullptr;
    return widened.get();
}
