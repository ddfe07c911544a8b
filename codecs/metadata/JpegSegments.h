// JPEG marker segments beside the pixels: the walk over the segments before the first scan, the
// metadata it finds (JFIF density, EXIF, XMP, the ICC profile in numbered chunks), and the writer
// that puts the same segments into a new file after its JFIF segment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ObjImage.h"
#include "PictureMetadata.h"
#include "PictureView.h"

class FileWriter;

// What an APP1 segment can hold after its length field, and so the largest EXIF and XMP a JPEG
// carries once the segment's own signature is taken off.
constexpr size_t kJpegSegmentBodyMax = 65533;
constexpr size_t kJpegExifMax = kJpegSegmentBodyMax - 6;
constexpr size_t kJpegXmpMax = kJpegSegmentBodyMax - 29;
// 255 numbered chunks: the largest profile a JPEG carries, and the cap for every reader.
constexpr size_t kIccChunkBodyMax = kJpegSegmentBodyMax - 14;
constexpr size_t kIccProfileMax = 255 * kIccChunkBodyMax;

// Calls visit(marker, body, size) for each segment before the first scan, stopping when visit
// returns false, at the scan, or where the segments no longer fit in the block.
void WalkJpegSegments(const uint8_t* data, size_t length,
                      const std::function<bool(uint8_t, const uint8_t*, size_t)>& visit);

// Resolution in pixels per metre from a JFIF density, 0 for none (units 0 give only an aspect).
int32_t PixelsPerMetreFromJfif(uint8_t units, uint16_t density);

// The metadata of the segments into metadata; the JFIF density into xPpm and yPpm (left as they
// are without one). Every damaged or doubled item is left out, and said in warnings.
void ReadJpegMetadata(const uint8_t* data, size_t length, PictureMetadata& metadata, int32_t& xPpm,
                      int32_t& yPpm, std::vector<std::string>& warnings);

// Writes jpeg (one complete file from the encoder of picture) to out with the density set in its
// JFIF segment (when picture's resolution is known and fits) and the metadata's segments after it;
// items too large for their segments are left out. metadata may be null.
bool WriteJpegWithMetadata(FileWriter& out, uint8_t* jpeg, size_t size, const PictureMetadata* metadata,
                           const PictureView& picture);
