// Pictures for the end-to-end tests: pixels as seen on screen, written and read by this file's
// own few lines (24-bit BMP and TGA, PNG without compression) rather than by the codecs under
// test, so a codec fault cannot hide in both the input and the verdict.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

struct Rgb {
    uint8_t Red, Green, Blue;
    bool operator==(const Rgb& o) const { return Red == o.Red && Green == o.Green && Blue == o.Blue; }
};

std::ostream& operator<<(std::ostream& out, const Rgb& p);

// Top row first, each row left to right.
struct Picture {
    int32_t Width = 0;
    int32_t Height = 0;
    std::vector<Rgb> Pixels;
    Rgb At(int32_t x, int32_t y) const { return Pixels[size_t(y) * size_t(Width) + size_t(x)]; }
};

// Saved as the extension names: a 24-bit bottom-up BMP, a 24-bit uncompressed bottom-left TGA, or
// an 8-bit RGB PNG with stored (uncompressed) deflate blocks.
bool SavePicture(const Picture& picture, const std::string& path);
// Reads what the host writes: 24-bit BMP (either row order), 24-bit uncompressed TGA (either
// origin), and PNG through libspng, which is not the host's codec but the library beneath it.
bool LoadPicture(const std::string& path, Picture& picture);
// Raw RGB rows, top row first, as the test data's reference decodes hold them.
bool LoadRawRgb(const std::string& path, int32_t width, int32_t height, Picture& picture);
