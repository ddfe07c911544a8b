// A picture of any colours as at most 256 of them, for GIF: the picture's own colours where they
// fit, else a palette from Wu's quantiser refined by k-means passes, the pixels mapped onto it with
// Floyd-Steinberg dithering.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "PictureView.h"

struct IndexedPicture {
    std::vector<uint8_t> Palette;  // red, green, blue of each entry
    int32_t Transparent = -1;      // the entry of transparent pixels; -1: none
    std::vector<uint8_t> Indices;  // an entry a pixel, top row first
};

// Alpha below this is transparent, the rest opaque.
constexpr uint32_t kGifOpaqueFrom = 128;

// rows: 8-bit red, green, blue (and alpha, for 4 channels) of a width x height picture. A picture
// of at most 256 colours (one of them the transparent entry, if any pixel is) keeps them exactly,
// undithered. Memory running out is std::bad_alloc, as everywhere in the exchange.
void IndexPicture(RowSource& rows, int32_t width, int32_t height, IndexedPicture& out);

// One palette for every frame of an animation: true, with out's Palette and Transparent set (its
// Indices left empty), when the frames' colours together fit as a picture's own do.
bool SharedPalette(std::vector<RowSource>& frames, int32_t width, int32_t height, IndexedPicture& out);
// A frame's indices on a palette SharedPalette made, which holds each of its colours exactly.
void IndexOnPalette(RowSource& rows, int32_t width, int32_t height, IndexedPicture& palette);
