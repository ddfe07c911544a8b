// The two decoders behind FCImageHandle_IPicture. Each turns a whole JPEG or GIF file held in
// memory into a new 24-bit picture and leaves the image to be discarded when it returns false.
#pragma once

#include <cstddef>
#include <cstdint>

#include "LoadResult.h"
#include "ObjImage.h"
#include "PictureMetadata.h"

// data starts with FF D8 FF; image is empty on entry; a refusal by size is told in result, and
// what the file carries besides pixels goes into metadata (its resolution into image's header).
bool DecodeJpegPicture(const uint8_t* data, size_t length, FCObjImage& image, LoadResult& result,
                       PictureMetadata& metadata);
// data starts with "GIF87a" or "GIF89a"; image is empty on entry; a refusal by size is told in
// result, and so are the transparency and the frames that the picture cannot keep.
bool DecodeGifPicture(const uint8_t* data, size_t length, FCObjImage& image, LoadResult& result);
