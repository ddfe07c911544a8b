// ConvertTo24: expansion of every depth to blue, green, red, and what the converted image keeps.
#include <gtest/gtest.h>

#include <cstring>

#include "ObjImage.h"
#include "RowNames.h"

namespace {

struct ConvertCase {
    const char* name;
    uint16_t bpp;
    uint32_t masks[3];  // all zero: plain header, else 16-bit bit fields
    uint8_t bytes[4];   // the first bytes of the top row
    int32_t x;
    uint32_t rgb;  // as GetPixelData reads a 24-bit pixel
    friend void PrintTo(const ConvertCase& c, std::ostream* out) { *out << c.name; }
};

class ConvertPixel : public testing::TestWithParam<ConvertCase> {};

TEST_P(ConvertPixel, GivesExpectedBlueGreenRed) {
    const ConvertCase c = GetParam();
    FCBitmapInfoBlock block{};
    block.bmiHeader.biWidth = block.bmiHeader.biHeight = 2;
    block.bmiHeader.biBitCount = c.bpp;
    block.bmiHeader.biCompression = (c.masks[0] | c.masks[1] | c.masks[2]) ? kCompressionBitFields : 0;
    std::memcpy(block.bmiMasks, c.masks, sizeof(c.masks));
    FCObjImage image;
    ASSERT_TRUE(image.CreateFromHeader(&block.bmiHeader));
    std::memcpy(image.RowTable[0], c.bytes, std::min<size_t>(4, size_t(image.Stride())));
    if (c.bpp == 4) image.Palette[10] = RGBQUAD{1, 2, 3, 9}, image.Palette[11] = RGBQUAD{4, 5, 6, 9};
    image.ConvertTo24();
    ASSERT_EQ(image.InfoHeader.biBitCount, 24);
    EXPECT_EQ(image.Palette, nullptr);
    EXPECT_EQ(image.GetPixelData(c.x, 0), c.rgb);
    EXPECT_EQ(image.GetPixelData(0, 1), 0u);
}

constexpr uint32_t k565[3] = {0xF800, 0x07E0, 0x001F};

INSTANTIATE_TEST_SUITE_P(
    AllDepths, ConvertPixel,
    testing::Values(ConvertCase{"OneBitSet", 1, {}, {0x80}, 0, 0xFFFFFF},
                    ConvertCase{"OneBitClear", 1, {}, {0x80}, 1, 0},
                    ConvertCase{"FourBitHigh", 4, {}, {0xAB}, 0, 0x030201},
                    ConvertCase{"FourBitLow", 4, {}, {0xAB}, 1, 0x060504},
                    ConvertCase{"EightBitGrey", 8, {}, {0, 77}, 1, 0x4D4D4D},
                    ConvertCase{"White555", 16, {}, {0xFF, 0x7F}, 0, 0xF8F8F8},
                    ConvertCase{"Bit15Ignored555", 16, {}, {0x00, 0x80}, 0, 0},
                    ConvertCase{"Blue555", 16, {}, {0x1F, 0x00}, 0, 0x0000F8},
                    ConvertCase{"Red555", 16, {}, {0x00, 0x7C}, 0, 0xF80000},
                    ConvertCase{"White565", 16, {k565[0], k565[1], k565[2]}, {0xFF, 0xFF}, 0, 0xF8FCF8},
                    ConvertCase{"Red565", 16, {k565[0], k565[1], k565[2]}, {0x00, 0xF8}, 0, 0xF80000},
                    ConvertCase{"Green565", 16, {k565[0], k565[1], k565[2]}, {0xE0, 0x07}, 0, 0x00FC00},
                    ConvertCase{
                        "GreenMaskAlonePicksLayout", 16, {0x1F, 0x03E0, 0x7C00}, {0x1F, 0}, 0, 0x0000F8},
                    ConvertCase{"OtherMasks444", 16, {0x0F00, 0x00F0, 0x000F}, {0x5F, 0x0A}, 0, 0xA050F0},
                    ConvertCase{"OtherMasksWideAndZero", 16, {0, 0xFFF0, 0x000F}, {0xCD, 0xAB}, 0, 0x00ABD0},
                    ConvertCase{"ThirtyTwoDropsFourth", 32, {}, {10, 20, 30, 40}, 0, 0x1E140A}),
    NamedBy<&ConvertCase::name>());

}  // namespace

TEST(ConvertTo24, TwentyFourBitImageIsUntouched) {
    FCBitmapInfoBlock block{};
    block.bmiHeader = BITMAPINFOHEADER{40, 1, 1, 1, 24, 0, 0, 99, 0, 0, 0};
    FCObjImage image;
    ASSERT_TRUE(image.CreateFromHeader(&block.bmiHeader));
    image.AuxWord = 5;
    const uint8_t* pixels = image.PixelStore;
    image.ConvertTo24();
    EXPECT_EQ(image.PixelStore, pixels);
    EXPECT_EQ(image.AuxWord, 5u);
    EXPECT_EQ(image.InfoHeader.biXPelsPerMeter, 99);
}

TEST(ConvertTo24, ConvertedImageIsRecreatedAndKeepsRowOrder) {
    FCBitmapInfoBlock block{};
    block.bmiHeader = BITMAPINFOHEADER{40, 3, 2, 1, 8, 0, 0, 2835, 2835, 0, 0};
    FCObjImage image;
    ASSERT_TRUE(image.CreateFromHeader(&block.bmiHeader));
    image.AuxWord = 5, image.GraphWord0 = 6, image.GraphWord1 = 7;
    image.RowTable[0][2] = 200;
    image.RowTable[1][0] = 100;
    image.ConvertTo24();
    EXPECT_EQ(image.Stride(), 12);
    EXPECT_EQ(image.GetPixelData(2, 0), 0xC8C8C8u);
    EXPECT_EQ(image.GetPixelData(0, 1), 0x646464u);
    EXPECT_EQ(image.RowTable[0][9] | image.RowTable[0][10] | image.RowTable[0][11], 0);
    // The resolution is the picture's, not the storage's: it survives the widening.
    EXPECT_EQ(image.InfoHeader.biXPelsPerMeter, 2835);
    EXPECT_EQ(image.InfoHeader.biYPelsPerMeter, 2835);
    EXPECT_EQ(image.AuxWord, 0u);
    EXPECT_EQ(image.GraphWord0 + image.GraphWord1, 13u);
}
