// The process-wide cap on a picture's pixel count: a few header bytes must not be able to make
// the program take gigabytes. Readers check it before they take any pixel memory.
#pragma once

#include <cstdint>

#include "ImageSize.h"
#include "LoadResult.h"

// Out of the box: 2^28 pixels (16384 x 16384), well above any camera and far below a bomb.
constexpr uint64_t kDefaultPixelLimit = uint64_t(1) << 28;
// The most a caller may allow: the largest picture whose 24-bit pixel block the model can hold.
constexpr uint64_t kMaxPixelLimit = kMaxImageBytes / 3;

uint64_t GetPixelLimit();
// Clamped to 1 .. kMaxPixelLimit.
void SetPixelLimit(uint64_t pixels);

// True when width x height is within the limit (negative sizes count by magnitude).
bool WithinPixelLimit(int64_t width, int64_t height);
// True when the image object can hold a picture of this shape at bpp bits per pixel: its pixel
// block and its row table together within kMaxImageBytes.
bool WithinImageLimit(int64_t width, int64_t height, uint16_t bpp);
// The check every reader makes from the header, before it takes pixel memory: within both limits
// (for the 24 bits the host will hold, as well as for bpp). A refusal is written into result,
// with the size.
bool CheckPictureSize(int64_t width, int64_t height, uint16_t bpp, LoadResult& result);
