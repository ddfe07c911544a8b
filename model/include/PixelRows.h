// Rows of 3-byte pixels between the image's order (blue, green, red) and the order of files and
// the exchange (red, green, blue): the one swap every reader and writer uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

// In place: red and blue trade places in each of pixels pixels.
inline void SwapRedAndBlue(uint8_t* row, size_t pixels) {
    for (size_t i = 0; i < pixels; ++i, row += 3) std::swap(row[0], row[2]);
}

// The same while copying a row to another place; from and to do not overlap.
inline void CopySwappingRedAndBlue(const uint8_t* from, uint8_t* to, size_t pixels) {
    for (size_t i = 0; i < pixels; ++i, from += 3, to += 3) {
        to[0] = from[2];
        to[1] = from[1];
        to[2] = from[0];
    }
}
