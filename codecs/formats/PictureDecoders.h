// The two decoders behind FCImageHandle_IPicture. Each turns a whole JPEG or GIF file held in
// memory into rows for the sink, and returns false with the refusal's status and reason in result.
#pragma once

#include <cstddef>
#include <cstdint>

#include "LoadResult.h"
#include "PictureMetadata.h"
#include "RowSink.h"

// What the file carries besides pixels goes into metadata, its resolution to the sink.
bool DecodeJpegPicture(const uint8_t* data, size_t length, const LoadOptions& options, RowSink& rows,
                       LoadResult& result, PictureMetadata& metadata);
// The transparency and the frames that the picture cannot keep are said in result. A file with
// transparency, or whose first frame leaves part of the screen uncovered, gives its rows with alpha.
bool DecodeGifPicture(const uint8_t* data, size_t length, const LoadOptions& options, RowSink& rows,
                      LoadResult& result);
