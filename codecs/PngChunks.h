// The PNG chunks beside the pixels, read from the file's bytes by our own walk: libspng, outside
// its strict mode, drops a bad eXIf or a second iCCP without a word, and we must say what we drop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "PictureMetadata.h"

struct PngExtras {
    int32_t XPixelsPerMetre = 0;  // from pHYs in metres; 0 for none
    int32_t YPixelsPerMetre = 0;
    bool Transparent = false;  // an alpha channel or tRNS
    bool Animated = false;     // acTL
};

// Walks the chunks of a PNG whose checksums libspng has already checked. Every damaged or doubled
// item is left out of metadata and said in warnings; compressed items inflate to at most the cap
// a JPEG profile has.
void ReadPngMetadata(const uint8_t* data, size_t length, PictureMetadata& metadata, PngExtras& extras,
                     std::vector<std::string>& warnings);
