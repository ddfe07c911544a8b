// The libraries the codecs are built on, called directly with the codecs' settings: the reference a
// benchmark measures the codecs against. Files are read and written whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

std::vector<uint8_t> ReadWhole(const std::string& path);
bool WriteWhole(const std::string& path, const uint8_t* data, size_t size);

// The picture as the libraries take it: RGB rows, top row first, nothing between rows.
struct Rgb {
    int width = 0, height = 0;
    std::vector<uint8_t> bytes;
};

// Each load takes fresh memory for its pixels, as the codecs do, left uncleared; kept, when given,
// receives a copy of them.
bool DriverHeifLoad(const std::string& path);
bool DriverPngLoad(const std::string& path, Rgb* kept = nullptr);
bool DriverPngSave(const Rgb& rgb, const std::string& path);
