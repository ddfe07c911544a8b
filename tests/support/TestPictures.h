// Pictures for the end-to-end tests: pixels as seen on screen, written and read through the
// imaging library so a test can compare what a module made with what it should have made.
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

// Saved at 24 bits in the format the extension names.
bool SavePicture(const Picture& picture, const std::string& path);
// Any readable picture, brought to 24 bits.
bool LoadPicture(const std::string& path, Picture& picture);
