// The two decoders behind FCImageHandle_IPicture. Each turns a whole JPEG or GIF file held in
// memory into a new 24-bit picture and leaves the image to be discarded when it returns false.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ObjImage.h"

// data starts with FF D8 FF; image is empty on entry.
bool DecodeJpegPicture(const uint8_t* data, size_t length, FCObjImage& image);
// data starts with "GIF87a" or "GIF89a"; image is empty on entry.
bool DecodeGifPicture(const uint8_t* data, size_t length, FCObjImage& image);
