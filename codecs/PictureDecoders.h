// The two decoders behind FCImageHandle_IPicture. Each turns a whole JPEG or GIF file held in
// memory into a new 24-bit picture and leaves the image to be discarded when it returns false,
// with the refusal's status and reason in result.
#pragma once

#include <cstddef>
#include <cstdint>

#include "LoadResult.h"
#include "ObjImage.h"
#include "PictureMetadata.h"
#include "RowSink.h"

// Into the sink; what the file carries besides pixels goes into metadata, its resolution to the sink.
bool DecodeJpegPicture(const uint8_t* data, size_t length, const LoadOptions& options, RowSink& rows,
                       LoadResult& result, PictureMetadata& metadata);
// image and samples are empty on entry; the transparency and the frames that the picture cannot
// keep are said in result. Where options.KeepAlpha asks for it and the file has transparency, or
// its first frame leaves part of the screen uncovered, samples gets the picture with alpha instead
// of image.
bool DecodeGifPicture(const uint8_t* data, size_t length, const LoadOptions& options, FCObjImage& image,
                      RowSink& rows, LoadResult& result);
