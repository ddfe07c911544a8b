// FCObjImage: layout, header checks, palettes, pixel reads, deep copy and the serialised record.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstring>
#include <vector>

#include "ObjImage.h"
#include "RowNames.h"

namespace {

FCBitmapInfoBlock MakeBlock(int32_t width, int32_t height, uint16_t bpp, uint32_t compression = 0,
                            uint32_t greenMask = 0) {
    FCBitmapInfoBlock block{};
    block.bmiHeader = BITMAPINFOHEADER{40, width, height, 1, bpp, compression, 0, 0, 0, 0, 0};
    block.bmiMasks[0] = 0xF800, block.bmiMasks[1] = greenMask, block.bmiMasks[2] = 0x001F;
    return block;
}

uint32_t Colour(const RGBQUAD& q) {
    return uint32_t(q.rgbBlue) | uint32_t(q.rgbGreen) << 8 | uint32_t(q.rgbRed) << 16 |
           uint32_t(q.rgbReserved) << 24;
}

// Run in a child process: caps the address space, then asks for a pixel block beyond the cap.
bool CreateBeyondAddressLimitFails() {
    FCObjImage image;
    const rlimit limit{rlim_t(512) << 20, rlim_t(512) << 20};
    if (!image.Create(2, 2, 24) || setrlimit(RLIMIT_AS, &limit) != 0) return false;
    return !image.Create(1 << 28, 7, 8) && image.IsValid() && image.InfoHeader.biWidth == 2;
}

struct StrideCase {
    const char* Name;
    int32_t width;
    uint16_t bpp;
    int32_t stride;
    friend void PrintTo(const StrideCase& c, std::ostream* out) { *out << c.Name; }
};

class ImageStride : public testing::TestWithParam<StrideCase> {};

TEST_P(ImageStride, RowsArePaddedZeroedAndStoredBottomUp) {
    const StrideCase c = GetParam();
    FCObjImage image;
    ASSERT_TRUE(image.Create(c.width, 3, c.bpp));
    EXPECT_EQ(image.Stride(), c.stride);
    EXPECT_EQ(image.RowTable[0], image.PixelStore + 2 * c.stride);
    EXPECT_EQ(image.RowTable[2], image.PixelStore);
    EXPECT_EQ(std::vector<uint8_t>(image.PixelStore, image.PixelStore + 3 * c.stride),
              std::vector<uint8_t>(size_t(3 * c.stride)));
    EXPECT_EQ(image.Palette != nullptr, c.bpp <= 8);
}

const StrideCase kStrides[] = {{"Width1Bits1", 1, 1, 4},    {"Width33Bits1", 33, 1, 8},
                               {"Width9Bits4", 9, 4, 8},    {"Width5Bits8", 5, 8, 8},
                               {"Width3Bits16", 3, 16, 8},  {"Width3Bits24", 3, 24, 12},
                               {"Width6Bits24", 6, 24, 20}, {"Width2Bits32", 2, 32, 8}};
INSTANTIATE_TEST_SUITE_P(AllDepths, ImageStride, testing::ValuesIn(kStrides), NamedBy<&StrideCase::Name>());

struct BadHeader {
    const char* Name;
    int32_t Width, Height;
    uint16_t Bpp;
    uint32_t Compression;
    friend void PrintTo(const BadHeader& h, std::ostream* out) { *out << h.Name; }
};

class RefusedHeader : public testing::TestWithParam<BadHeader> {};

TEST_P(RefusedHeader, LeavesValidImageIntact) {
    FCObjImage image;
    ASSERT_TRUE(image.Create(2, 2, 24));
    image.RowTable[1][5] = 0x5A;
    const uint8_t* pixels = image.PixelStore;
    const BadHeader& h = GetParam();
    FCBitmapInfoBlock block = MakeBlock(h.Width, h.Height, h.Bpp, h.Compression);
    EXPECT_FALSE(image.CreateFromHeader(&block.bmiHeader));
    EXPECT_FALSE(image.CreateFromHeader(nullptr));
    EXPECT_EQ(image.PixelStore, pixels);
    EXPECT_EQ(image.InfoHeader.biBitCount, 24);
    EXPECT_EQ(image.RowTable[1][5], 0x5A);
}

// HugeRowTable has pixels within limits, but a row table of 2.4 GB.
const BadHeader kBadHeaders[] = {{"Bits0", 4, 4, 0, 0},
                                 {"Bits2", 4, 4, 2, 0},
                                 {"Bits15", 4, 4, 15, 0},
                                 {"Bits64", 4, 4, 64, 0},
                                 {"RunLengthOf8Bits", 4, 4, 8, 1},
                                 {"RunLengthOf4Bits", 4, 4, 8, 2},
                                 {"WidthZero", 0, 4, 8, 0},
                                 {"WidthNegative", -4, 4, 8, 0},
                                 {"HeightZero", 4, 0, 8, 0},
                                 {"HeightNegative", 4, -4, 8, 0},
                                 {"WidestRow", INT32_MAX, 1, 32, 0},
                                 {"TwelveGigabytes", 1 << 20, 1 << 12, 24, 0},
                                 {"RowOfTwoGigabytes", 1 << 29, 1, 32, 0},
                                 {"HugeRowTable", 1, 300000000, 1, 0}};
INSTANTIATE_TEST_SUITE_P(BadFields, RefusedHeader, testing::ValuesIn(kBadHeaders),
                         NamedBy<&BadHeader::Name>());

}  // namespace

TEST(ObjImage, HeaderMasksOnlyFor16BitBitFields) {
    FCObjImage image;
    ASSERT_TRUE(image.Create(4, 4, 16));
    EXPECT_EQ(image.InfoHeader.biCompression, 0u);
    EXPECT_EQ(std::vector<uint32_t>(image.BitMasks, image.BitMasks + 3),
              (std::vector<uint32_t>{0x7C00, 0x03E0, 0x1F}));
    FCBitmapInfoBlock block = MakeBlock(4, 4, 16, 3, 0x07E0);
    ASSERT_TRUE(image.CreateFromHeader(&block.bmiHeader));
    EXPECT_EQ(image.InfoHeader.biCompression, 3u);
    EXPECT_EQ(std::vector<uint32_t>(image.BitMasks, image.BitMasks + 3),
              (std::vector<uint32_t>{0xF800, 0x07E0, 0x1F}));
    block.bmiHeader.biBitCount = 32;
    ASSERT_TRUE(image.CreateFromHeader(&block.bmiHeader));
    EXPECT_EQ(image.InfoHeader.biCompression, 0u);
    EXPECT_EQ(image.BitMasks[0] | image.BitMasks[1] | image.BitMasks[2], 0u);
}

TEST(ObjImage, DefaultPalettesAreGreyRamps) {
    FCObjImage image;
    ASSERT_TRUE(image.Create(1, 1, 1));
    EXPECT_EQ(Colour(image.Palette[0]), 0u);
    EXPECT_EQ(Colour(image.Palette[1]), 0xFFFFFFu);
    ASSERT_TRUE(image.Create(1, 1, 4));
    EXPECT_EQ(Colour(image.Palette[1]), 0x111111u);
    EXPECT_EQ(Colour(image.Palette[15]), 0xFFFFFFu);
}

TEST(ObjImage, GetPixelDataAtEachDepth) {
    FCObjImage image;
    ASSERT_TRUE(image.Create(9, 2, 1));
    image.RowTable[0][0] = image.RowTable[0][1] = 0x80;
    EXPECT_EQ(image.GetPixelData(0, 0), 1u);
    EXPECT_EQ(image.GetPixelData(1, 0), 0u);
    EXPECT_EQ(image.GetPixelData(8, 0), 1u);
    EXPECT_EQ(image.GetPixelData(0, 1), 0u);
    ASSERT_TRUE(image.Create(3, 1, 4));
    image.RowTable[0][0] = 0xAB;
    EXPECT_EQ(image.GetPixelData(0, 0), 0xAu);
    EXPECT_EQ(image.GetPixelData(1, 0), 0xBu);
    ASSERT_TRUE(image.Create(2, 1, 32));
    std::memcpy(image.RowTable[0] + 4, "\x10\x20\x30\x40", 4);
    EXPECT_EQ(image.GetPixelData(1, 0), 0x40302010u);
    for (auto [x, y] : {std::pair{-1, 0}, {2, 0}, {0, -1}, {0, 1}}) EXPECT_EQ(image.GetPixelData(x, y), 0u);
}

TEST(ObjImage, PaletteCopiesStopAtSmallerCount) {
    FCObjImage image;
    const std::vector<RGBQUAD> entries(300, RGBQUAD{1, 2, 3, 4});
    ASSERT_TRUE(image.Create(1, 1, 8));
    EXPECT_TRUE(image.SetPalette(entries.data(), 300));
    EXPECT_EQ(Colour(image.Palette[255]), 0x04030201u);
    ASSERT_TRUE(image.Create(1, 1, 4));
    EXPECT_TRUE(image.SetPalette(entries.data(), 10));
    EXPECT_EQ(Colour(image.Palette[9]), 0x04030201u);
    EXPECT_EQ(Colour(image.Palette[10]), 0xAAAAAAu);
    EXPECT_FALSE(image.SetPalette(nullptr, 1));
    ASSERT_TRUE(image.Create(1, 1, 24));
    RGBQUAD out[1];
    EXPECT_FALSE(image.GetPalette(out, 1));
}

TEST(ObjImage, CopyFromIsDeepAndCarriesEverything) {
    FCBitmapInfoBlock block = MakeBlock(3, 2, 8);
    block.bmiHeader.biXPelsPerMeter = 2835, block.bmiHeader.biYPelsPerMeter = -7;
    FCObjImage source;
    ASSERT_TRUE(source.CreateFromHeader(&block.bmiHeader));
    source.Palette[7] = RGBQUAD{1, 2, 3, 0};
    source.RowTable[1][2] = 7;
    source.AuxWord = 11, source.GraphWord0 = 12, source.GraphWord1 = 13;
    FCObjImage copy(source);
    EXPECT_NE(copy.PixelStore, source.PixelStore);
    EXPECT_EQ(std::memcmp(&copy.InfoHeader, &source.InfoHeader, sizeof(BITMAPINFOHEADER)), 0);
    EXPECT_EQ(copy.GetPixelData(2, 1), 7u);
    EXPECT_EQ(Colour(copy.Palette[7]), 0x030201u);
    EXPECT_EQ(copy.AuxWord, 11u);
    EXPECT_EQ(copy.GraphWord0, 12u);
    EXPECT_EQ(copy.GraphWord1, 13u);
    copy.CopyFrom(FCObjImage()).CopyFrom(copy);
    EXPECT_EQ(copy.GetPixelData(2, 1), 7u);
}

// ConvertTo24 covers header, AuxWord and graph words; this covers palette and masks both ways.
TEST(ObjImage, SwapStorageExchangesBlocksPaletteAndMasks) {
    FCObjImage a, b;
    ASSERT_TRUE(a.Create(3, 2, 8));
    ASSERT_TRUE(b.Create(1, 1, 16));
    a.Palette[7] = RGBQUAD{1, 2, 3, 0};
    uint8_t* const pixelsA = a.PixelStore;
    a.SwapStorage(b);
    EXPECT_EQ(b.PixelStore, pixelsA);
    EXPECT_EQ(b.RowTable[0], pixelsA + 4);
    EXPECT_EQ(Colour(b.Palette[7]), 0x030201u);
    EXPECT_EQ(b.BitMasks[0], 0u);
    EXPECT_EQ(a.Palette, nullptr);
    EXPECT_EQ(a.BitMasks[0], 0x7C00u);
}

TEST(ObjImage, NewBitmapInfoHoldsPaletteOrMasks) {
    FCObjImage image;
    ASSERT_TRUE(image.Create(2, 2, 4));
    image.Palette[15] = RGBQUAD{1, 2, 3, 4};
    auto info = image.NewBitmapInfo();
    // biSize 40, width 2, height 2, planes 1, 4 bits, then zeros: little-endian field by field.
    const uint8_t header[40] = {40, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 1, 0, 4, 0};
    EXPECT_EQ(std::memcmp(info.get(), header, 40), 0);
    EXPECT_EQ(std::memcmp(info.get() + 40 + 4 * 15, "\x01\x02\x03\x04", 4), 0);
    ASSERT_TRUE(image.Create(2, 2, 16));
    info = image.NewBitmapInfo();
    EXPECT_EQ(std::memcmp(info.get() + 40, "\x00\x7C\x00\x00\xE0\x03\x00\x00\x1F\x00\x00\x00", 12), 0);
}

// A pixel block the process cannot map must fail cleanly and leave the old image in place.
TEST(ObjImage, FailedPixelAllocationKeepsOldImage) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "address-space limits conflict with the sanitizer's shadow memory";
#endif
    EXPECT_EXIT(std::exit(CreateBeyondAddressLimitFails() ? 0 : 1), testing::ExitedWithCode(0), "");
}

TEST(ObjImageSerialize, RoundTripKeepsMasksPixelsAndGraphWords) {
    FCBitmapInfoBlock block = MakeBlock(3, 2, 16, 3, 0x07E0);
    FCObjImage image, restored;
    ASSERT_TRUE(image.CreateFromHeader(&block.bmiHeader));
    image.RowTable[0][0] = 0xAB;
    image.GraphWord0 = 0x01020304, image.GraphWord1 = 5;
    std::vector<uint8_t> record(60 + 16);
    EXPECT_EQ(image.Serialize(true, record.data(), record.size() - 1), 0);
    ASSERT_EQ(image.Serialize(true, record.data(), record.size()), 76);
    EXPECT_EQ(std::memcmp(&record[68], "\x04\x03\x02\x01\x05\x00\x00\x00", 8), 0);
    EXPECT_EQ(restored.Serialize(false, record.data(), record.size() - 1), 0);
    EXPECT_FALSE(restored.IsValid());
    ASSERT_EQ(restored.Serialize(false, record.data(), record.size()), 76);
    EXPECT_EQ(restored.BitMasks[0], 0xF800u);
    EXPECT_EQ(restored.GetPixelData(0, 0), 0xABu);
    EXPECT_EQ(restored.GraphWord0, 0x01020304u);
    EXPECT_EQ(FCObjImage().Serialize(true, record.data(), 60), 60);
}

TEST(ObjImageSerialize, RestoredPaletteIsGreyAndRejectedHeaderChangesNothing) {
    FCObjImage image, restored;
    ASSERT_TRUE(image.Create(1, 1, 8));
    image.Palette[3] = RGBQUAD{9, 9, 9, 9};
    std::vector<uint8_t> record(64);
    ASSERT_EQ(image.Serialize(true, record.data(), record.size()), 64);
    ASSERT_EQ(restored.Serialize(false, record.data(), record.size()), 64);
    EXPECT_EQ(Colour(restored.Palette[3]), 0x030303u);
    std::vector<uint8_t> headerOnly(record.begin(), record.begin() + 20);
    EXPECT_EQ(restored.Serialize(false, headerOnly.data(), headerOnly.size()), 0);
    record[14] = 2;  // biBitCount
    restored.RowTable[0][0] = 42;
    EXPECT_EQ(restored.Serialize(false, record.data(), record.size()), 0);
    EXPECT_EQ(restored.GetPixelData(0, 0), 42u);
}
