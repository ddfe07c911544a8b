// ImageMagick as the independent decoder of pictures with alpha and 16-bit samples.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Red, green, blue and alpha of 16 bits, top row first.
using Rgba16 = std::vector<uint16_t>;

// ImageMagick's decode of a file (of djxl's for JPEG XL), options before the output; empty when it fails.
// Samples are taken as stored (a PNG gamma of 1.0 would be converted to sRGB), bottom-up TGA rows turned
// upright.
Rgba16 MagickDecode(const std::string& file, const std::string& options = "");
