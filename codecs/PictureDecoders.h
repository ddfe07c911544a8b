// The two decoders behind FCImageHandle_IPicture. Each turns a whole JPEG or GIF file held in
// memory into a new 24-bit picture and leaves the image to be discarded when it returns false.
#pragma once

#include <cstddef>
#include <cstdint>

#include "LoadResult.h"
#include "ObjImage.h"

// data starts with FF D8 FF; image is empty on entry; a refusal by size is told in result.
bool DecodeJpegPicture(const uint8_t* data, size_t length, FCObjImage& image, LoadResult& result);
// data starts with "GIF87a" or "GIF89a"; image is empty on entry; a refusal by size is told in result.
bool DecodeGifPicture(const uint8_t* data, size_t length, FCObjImage& image, LoadResult& result);
