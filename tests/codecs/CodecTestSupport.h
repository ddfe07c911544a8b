// Shared helpers of the codec tests: little-endian fixture building, files, decoding through a codec, and
// ImageMagick's committed decodes as a pixel oracle.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ImageHandle.h"
#include "ScratchDir.h"

namespace codectest {

struct Bytes {
    std::vector<uint8_t> v;
    Bytes& U8(uint32_t x) {
        v.push_back(uint8_t(x));
        return *this;
    }
    Bytes& U16(uint32_t x) { return U8(x).U8(x >> 8); }
    Bytes& U32(uint32_t x) { return U16(x).U16(x >> 16); }
    Bytes& Fill(size_t n, uint8_t x) {
        v.insert(v.end(), n, x);
        return *this;
    }
};

inline std::string DataPath(const std::string& relative) {
    return std::string(CORVANE_TEST_DATA) + "/" + relative;
}

inline std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Decodes a block with a codec and takes the picture over as the framework does (samples above
// 8 bits narrowed), so it outlives the codec.
template <class Codec>
std::unique_ptr<FCObjImage> Decode(const std::vector<uint8_t>& bytes) {
    Codec codec;
    if (!codec.LoadMemory(bytes.data(), int32_t(bytes.size()))) return nullptr;
    auto image = std::make_unique<FCObjImage>();
    return TakeDecodedPicture(codec, *image, nullptr) ? std::move(image) : nullptr;
}

// Loads a file through the codec's own file reader and, read whole, through LoadMemory: both
// must agree on the outcome, the header, masks, palette, every stored byte and the rows left
// unfilled (returned in incompleteRows). Returns the picture, or null when both refused it.
template <class Codec>
std::unique_ptr<FCObjImage> DecodeFileBothWays(const std::string& path, uint32_t* incompleteRows = nullptr) {
    const std::vector<uint8_t> bytes = ReadFile(path);
    Codec fromFile, fromMemory;
    const bool loaded = fromFile.LoadFile(path.c_str());
    EXPECT_EQ(loaded, fromMemory.LoadMemory(bytes.data(), int32_t(bytes.size()))) << path;
    FCObjImage x, y;
    if (!loaded || !TakeDecodedPicture(fromFile, x, nullptr) || !TakeDecodedPicture(fromMemory, y, nullptr))
        return nullptr;
    EXPECT_EQ(0, std::memcmp(&x.InfoHeader, &y.InfoHeader, sizeof x.InfoHeader)) << path;
    EXPECT_EQ(0, std::memcmp(x.BitMasks, y.BitMasks, sizeof x.BitMasks)) << path;
    EXPECT_EQ(x.Palette == nullptr, y.Palette == nullptr) << path;
    if (x.Palette && y.Palette) {
        EXPECT_EQ(0, std::memcmp(x.Palette, y.Palette, 4u << x.InfoHeader.biBitCount)) << path;
    }
    const size_t bytesStored = size_t(x.InfoHeader.biHeight) * size_t(x.Stride());
    EXPECT_EQ(0, std::memcmp(x.PixelStore, y.PixelStore, bytesStored)) << path;
    EXPECT_EQ(fromFile.Result.IncompleteRows, fromMemory.Result.IncompleteRows) << path;
    if (incompleteRows != nullptr) *incompleteRows = fromFile.Result.IncompleteRows;
    return std::make_unique<FCObjImage>(x);
}

// Red, green, blue bytes, top row first, after the widening to 24 bits.
inline std::vector<uint8_t> Rgb(const FCObjImage& image) {
    FCObjImage copy(image);
    copy.ConvertTo24();
    std::vector<uint8_t> rgb;
    for (int32_t y = 0; y < copy.InfoHeader.biHeight; ++y) {
        for (int32_t x = 0; x < copy.InfoHeader.biWidth; ++x) {
            const uint8_t* p = copy.RowTable[y] + 3 * x;
            rgb.insert(rgb.end(), {p[2], p[1], p[0]});
        }
    }
    return rgb;
}

// An image whose every stored byte, padding included, is random but reproducible.
inline FCObjImage RandomImage(int32_t w, int32_t h, uint16_t bpp, bool bitFields = false) {
    FCBitmapInfoBlock block{};
    block.bmiHeader = {40, w, h, 1, bpp, bitFields ? 3u : 0u, 0, 3780, 2835, 0, 0};
    block.bmiMasks[0] = 0xF800, block.bmiMasks[1] = 0x07E0, block.bmiMasks[2] = 0x001F;
    FCObjImage image;
    EXPECT_TRUE(image.CreateFromHeader(&block.bmiHeader));
    std::mt19937 rng(bpp * 131 + w);
    for (int32_t i = 0; i < h * image.Stride(); ++i) image.PixelStore[i] = uint8_t(rng());
    if (bpp <= 8) {
        RGBQUAD palette[256];
        for (auto& e : palette) e = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), 0};
        image.SetPalette(palette, 256);
    }
    return image;
}

// ImageMagick widens narrow channels to its 16-bit samples in ways of its own, but always keeps
// the channel's bits on top, the way the codecs (and proper scaling) do. So the top bits of its
// sample, widened by the codecs' rule (a plain left shift: 31 becomes 248; wide channels keep
// their top 8 bits), are what our pixels must be. bits 0 means the file has no such channel.
inline uint8_t ExpectedByShift(uint16_t sample, uint32_t bits) {
    if (bits == 0) return 0;
    if (bits >= 8) return uint8_t(sample >> 8);
    return uint8_t((sample >> (16 - bits)) << (8 - bits));
}

// The committed reference decode of a test data file (made once with ImageMagick, see
// tests/data/reference/make-references.sh).
inline std::string ReferencePath(const std::string& relative) {
    return DataPath("reference/" + relative + ".rgb");
}

// Compares our pixels with ImageMagick's decode of the same file (turned upright: it leaves the
// rows of bottom-up TGA files as stored); bits are the red, green and blue channel widths. The
// reference holds the top byte of each of its 16-bit samples.
inline void ExpectPixelsLikeReference(const std::string& reference, const FCObjImage& ours,
                                      const uint32_t bits[3] = nullptr) {
    static const uint32_t kEightBits[3] = {8, 8, 8};
    if (bits == nullptr) bits = kEightBits;
    const std::vector<uint8_t> raw = ReadFile(reference);
    const std::vector<uint8_t> rgb = Rgb(ours);
    ASSERT_EQ(raw.size(), rgb.size()) << reference;
    size_t mismatches = 0;
    for (size_t i = 0; i < rgb.size(); ++i) {
        const uint8_t expected = ExpectedByShift(uint16_t(raw[i] << 8), bits[i % 3]);
        if (expected != rgb[i] && mismatches++ == 0)
            ADD_FAILURE() << reference << ": byte " << i << " is " << int(rgb[i]) << ", ImageMagick gives "
                          << int(expected);
    }
    EXPECT_EQ(mismatches, 0u) << reference;
}

}  // namespace codectest
