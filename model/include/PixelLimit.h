// The cap on a picture's pixel count, given with every load: a few header bytes must not be able
// to make the program take gigabytes. Readers check it before they take any pixel memory.
#pragma once

#include <cstdint>

#include "ImageSize.h"
#include "LoadResult.h"

// True when width x height is within limit (negative sizes count by magnitude).
bool WithinPixelLimit(int64_t width, int64_t height, uint64_t limit);
// True when the image object can hold a picture of this shape at bpp bits per pixel: its pixel
// block and its row table together within kMaxImageBytes.
bool WithinImageLimit(int64_t width, int64_t height, uint16_t bpp);
// The most bytes of samples a picture may be held in, whatever their form: what an exchange
// document's payload can carry.
constexpr uint64_t kMaxHeldSampleBytes = 0xFFFFFFFFull;
// True when a picture of this shape fits in kMaxHeldSampleBytes at pixelBytes a pixel.
bool WithinHeldLimit(int64_t width, int64_t height, uint32_t pixelBytes);
// The check every reader makes from the header, before it takes pixel memory: within the load's
// pixel limit, within what the image object holds (for the 24 bits the host will hold, as well as
// for bpp) and within what the held form of options.HeldPixelBytes a pixel can be. A refusal is
// written into result, with the size.
bool CheckPictureSize(int64_t width, int64_t height, uint16_t bpp, const LoadOptions& options,
                      LoadResult& result);
// The check a reader of every frame makes from the file's count of them, before it decodes one: all
// frames together within options.FramesPixelLimit() and, in the held form, within
// kMaxHeldSampleBytes (what one document carries). A refusal is written into result.
bool CheckFramesSize(int64_t width, int64_t height, uint64_t frames, const LoadOptions& options,
                     LoadResult& result);
