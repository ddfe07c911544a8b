// The EXIF block as a TIFF structure (from its byte-order mark on): a bounds-checked walk of the
// tree that is kept (IFD0 and the Exif, GPS and Interoperability IFDs), and the few edits a
// picture written anew needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct ExifCheck {
    // Every IFD of the kept tree, and the data of every entry of a known type, lie inside the block,
    // and no two of those IFDs share a byte.
    bool Whole = false;
    // IFD0's Orientation (1 to 8) when IFD0 and its entry table lie inside the block and the entry
    // is a SHORT of count 1; 0 otherwise. Set whether or not the rest is whole.
    uint16_t Orientation = 0;
};

// Walks the block; nothing in it is trusted, and no offset or count can lead outside it.
ExifCheck CheckExif(const std::vector<uint8_t>& tiff);

// An EXIF block holding nothing but IFD0's Orientation tag.
std::vector<uint8_t> MinimalExif(uint16_t orientation);

// The block as a new file carries it: no IFD1 thumbnail (a picture of what went in, not of what
// comes out), and the Orientation tag, where there is one, set to orientation unless that is 0.
// A block that is not valid TIFF is left as it is.
void PrepareExifForOutput(std::vector<uint8_t>& tiff, uint16_t orientation);

// PixelXDimension and PixelYDimension of the EXIF IFD trade places, for a picture turned a
// quarter: each entry keeps its tag and takes the other's type and value.
void SwapExifPixelDimensions(std::vector<uint8_t>& tiff);

// PixelXDimension and PixelYDimension of the EXIF IFD, where it has them, say width and height (as
// LONG), for a picture that came back at another size.
void SetExifPixelDimensions(std::vector<uint8_t>& tiff, uint32_t width, uint32_t height);

// A JPEG's EXIF must say the picture's size in its Exif IFD: where that IFD lacks PixelXDimension or
// PixelYDimension, it is written anew at the end of the block with them (LONG), as long as the
// block stays within most bytes. A block without an Exif IFD needs none.
void AddExifPixelDimensions(std::vector<uint8_t>& tiff, uint32_t width, uint32_t height, size_t most);

// For a picture whose colours were converted to sRGB: the Exif IFD's ColorSpace, where there is one,
// says sRGB (1), and an Interoperability index of "R03" (a camera's Adobe RGB) becomes "R98", so that
// no viewer takes the pixels for Adobe RGB again.
void MarkExifSrgb(std::vector<uint8_t>& tiff);
