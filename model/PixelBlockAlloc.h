// The allocator of image pixel blocks: hands out memory that is already zero, so a new image
// needs no clearing pass of its own (the kernel still clears each fresh page it hands out).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// A zero-filled block of bytes, or null when the memory is not available (never throws).
uint8_t* AllocPixelBlock(size_t bytes);
// The block grown to bytes, its contents kept and the rest zero, moved if it must be: a mapped
// block is remapped, not copied. Null, with block untouched and still owned, when memory runs out.
uint8_t* GrowPixelBlock(uint8_t* block, size_t bytes);
// Gives back a block from AllocPixelBlock; null is ignored.
void FreePixelBlock(uint8_t* block);

struct PixelBlockDeleter {
    void operator()(uint8_t* block) const { FreePixelBlock(block); }
};
// Owns a pixel block until it is handed over to an image.
using PixelBlockPtr = std::unique_ptr<uint8_t, PixelBlockDeleter>;
