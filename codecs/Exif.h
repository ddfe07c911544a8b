// The EXIF block as a TIFF structure (from its byte-order mark on): a bounds-checked walk of IFD0
// for the orientation, and the few in-place edits a picture written anew needs.
#pragma once

#include <cstdint>
#include <vector>

// True when the block is TIFF in either byte order and IFD0 with its entries and next-IFD offset
// lies wholly inside it; orientation is then IFD0's Orientation (1 to 8), or 0 when it has none
// or an unusable one.
bool ReadExifOrientation(const std::vector<uint8_t>& tiff, uint16_t& orientation);

// The block as a new file carries it: no IFD1 thumbnail (a picture of what went in, not of what
// comes out), and the Orientation tag, where there is one, set to orientation unless that is 0.
// A block that is not valid TIFF is left as it is.
void PrepareExifForOutput(std::vector<uint8_t>& tiff, uint16_t orientation);

// PixelXDimension and PixelYDimension of the EXIF IFD trade places, for a picture turned a
// quarter: each entry keeps its tag and takes the other's type and value.
void SwapExifPixelDimensions(std::vector<uint8_t>& tiff);
