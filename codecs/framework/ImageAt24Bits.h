// The 24-bit picture a writer is handed of an image of another depth (a palette, 16 or 32 bits):
// widened in a copy, so the caller's image is never changed by saving it.
#pragma once

#include <memory>

#include "ObjImage.h"
#include "PictureBits.h"

// image itself when it already has 24 bits, else a widened copy that widened keeps alive; null
// when image is null (nothing to save) or the copy cannot be made or widened.
inline const FCObjImage* ImageAt24Bits(const FCObjImage* image, std::unique_ptr<FCObjImage>& widened) {
    if (image == nullptr) return nullptr;
    if (image->InfoHeader.biBitCount == kPictureBits) return image;
    widened = std::make_unique<FCObjImage>(*image);
    widened->ConvertTo24();
    if (!widened->IsValid() || widened->InfoHeader.biBitCount != kPictureBits) return nullptr;
    return widened.get();
}
