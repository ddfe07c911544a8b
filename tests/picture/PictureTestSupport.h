// Helpers for the picture decoder tests: fixture bytes, a decode through FCImageHandle_IPicture
// turned into plain RGB rows, and ImageMagick's committed decode of the same file as a second opinion.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct DecodedPicture {
    bool Loaded = false;
    int32_t Width = 0;
    int32_t Height = 0;
    uint16_t Bits = 0;
    bool PaddingZero = true;   // every filler byte at the end of the stored rows is still zero
    std::vector<uint8_t> Rgb;  // top row first, red, green, blue per pixel, no padding
};

std::string DataPath(const std::string& relative);
std::vector<uint8_t> ReadData(const std::string& relative);
DecodedPicture DecodePicture(const std::vector<uint8_t>& bytes);

// Raw RGB of the first frame as /usr/bin/convert decodes it, committed once under
// tests/data/reference (see make-references.sh there); empty when the file is missing.
std::vector<uint8_t> ImageMagickRgb(const std::string& relative);

// Largest difference between two equally long byte strings; -1 when their lengths differ.
int MaxDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);
