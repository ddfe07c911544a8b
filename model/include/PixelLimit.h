// The process-wide cap on a picture's pixel count: a few header bytes must not be able to make
// the program take gigabytes. Readers check it before they take any pixel memory.
#pragma once

#include <cstdint>

#include "ImageSize.h"

// Out of the box: 2^28 pixels (16384 x 16384), well above any camera and far below a bomb.
constexpr uint64_t kDefaultPixelLimit = uint64_t(1) << 28;
// The most a caller may allow: the largest picture whose 24-bit pixel block the model can hold.
constexpr uint64_t kMaxPixelLimit = kMaxImageBytes / 3;

uint64_t GetPixelLimit();
// Clamped to 1 .. kMaxPixelLimit.
void SetPixelLimit(uint64_t pixels);

// True when width x height is within the limit (negative sizes count by magnitude). A refusal
// is remembered so that whoever reports the failed load can name the size.
bool CheckPixelLimit(int64_t width, int64_t height);

struct RefusedPictureSize {
    uint64_t Width = 0;
    uint64_t Height = 0;
};
// The size most recently refused by CheckPixelLimit; false when nothing was refused since the
// last ClearRefusedPictureSize.
bool GetRefusedPictureSize(RefusedPictureSize& size);
void ClearRefusedPictureSize();
