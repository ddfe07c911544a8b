// The one conversion between layouts, the views over both images and the writer's layout choice.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "PictureView.h"

namespace {

constexpr PixelLayout kGrey8{1, 255, false}, kGreyAlpha8{2, 255, false}, kRgb8{3, 255, false},
    kRgba8{4, 255, false}, kRgb16{3, 65535, false}, kRgba16{4, 65535, false}, kBgra8{4, 255, true},
    kRgb4Bits{3, 15, false}, kRgb10{3, 1023, false};

struct ConversionRow {
    const char* Name;
    PixelLayout From;
    PixelLayout To;
    std::vector<uint8_t> In;  // one pixel
    std::vector<uint8_t> Out;
};

void PrintTo(const ConversionRow& row, std::ostream* out) {
    *out << row.Name;
}

class LayoutConversionTest : public testing::TestWithParam<ConversionRow> {};

TEST_P(LayoutConversionTest, ConvertsOnePixelByTheOneRule) {
    const ConversionRow& row = GetParam();
    const LayoutConversion conversion(row.From, row.To);
    ASSERT_TRUE(conversion.Possible());
    std::vector<uint8_t> out(row.Out.size(), 0xEE);
    conversion.Convert(row.In.data(), out.data(), 0, 1, 1);
    EXPECT_EQ(out, row.Out);
    // In place, as the sink and the growing of a whole picture do it.
    std::vector<uint8_t> same(std::max(row.In.size(), row.Out.size()));
    std::copy(row.In.begin(), row.In.end(), same.begin());
    conversion.ConvertBackwards(same.data(), same.data(), 0, 1);
    EXPECT_EQ(std::vector<uint8_t>(same.begin(), same.begin() + long(row.Out.size())), row.Out);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, LayoutConversionTest,
    testing::Values(
        ConversionRow{"RgbToBgr", kRgb8, kImage24Layout, {1, 2, 3}, {3, 2, 1}},
        ConversionRow{"BgrWidenedWithOpaqueAlpha",
                      kImage24Layout,
                      kRgba16,
                      {1, 2, 255},
                      {255, 255, 2, 2, 1, 1, 255, 255}},
        ConversionRow{"NarrowedRoundingAlphaDropped",
                      kRgba16,
                      kRgb8,
                      {0x80, 0x80, 0, 0x80, 0xFF, 0xFF, 0, 0},
                      {128, 0, 255}},
        ConversionRow{"NarrowedIntoBgraKeepsAlpha",
                      kRgba16,
                      kBgra8,
                      {0, 0, 0, 0, 0xFF, 0xFF, 0x7F, 0x80},
                      {255, 0, 0, 127}},
        ConversionRow{"GreyToColour", kGrey8, kRgb8, {9}, {9, 9, 9}},
        ConversionRow{"GreyAlphaWidened", kGreyAlpha8, kRgba16, {1, 2}, {1, 1, 1, 1, 1, 1, 2, 2}},
        ConversionRow{
            "FewBitsWidenThroughEight", kRgb4Bits, kRgb16, {1, 15, 20}, {17, 17, 255, 255, 255, 255}},
        ConversionRow{"TenBitsNarrowed", kRgb10, kRgb8, {0, 2, 3, 0xFF, 0x01, 0xFF}, {0, 255, 127}},
        ConversionRow{"AlphaAddedOpaque", kRgb8, kRgba8, {4, 5, 6}, {4, 5, 6, 255}}),
    [](const testing::TestParamInfo<ConversionRow>& info) { return std::string(info.param.Name); });

// Between 8 and 16 bits the rows go by arithmetic, not the table: every value must agree with it.
TEST(LayoutConversion, FullRangeArithmeticIsTheTablesRule) {
    const std::vector<uint16_t> narrow = SampleValueTable(65535, 255);
    const LayoutConversion conversion(kRgb16, kImage24Layout);
    for (uint32_t v = 0; v <= 65535; ++v) {
        const uint8_t in[6] = {0, 0, 0, 0, uint8_t(v >> 8), uint8_t(v)};
        uint8_t out[3];
        conversion.Convert(in, out, 0, 1, 1);
        ASSERT_EQ(out[0], narrow[v]) << v;
    }
}

TEST(LayoutConversion, ColourDoesNotBecomeGrey) {
    EXPECT_FALSE(LayoutConversion(kRgb8, kGrey8).Possible());
    EXPECT_TRUE(LayoutConversion(kGreyAlpha8, kGrey8).Possible());
}

TEST(PictureView, TheTwentyFourBitImageIsSeenTopFirstAndRowsPassUnchangedWhereLayoutsAgree) {
    FCObjImage image;
    ASSERT_TRUE(image.Create(2, 3, 24));
    image.InfoHeader.biXPelsPerMeter = 7;
    const PictureView view = ViewOf(image);
    ASSERT_TRUE(view.Valid());
    EXPECT_EQ(view.Layout, kImage24Layout);
    EXPECT_EQ(view.XPixelsPerMetre, 7);
    for (int32_t y = 0; y < 3; ++y) EXPECT_EQ(view.Row(y), image.RowTable[y]) << y;
    RowSource same(view, kImage24Layout);
    EXPECT_EQ(same.Row(2), image.RowTable[2]);
    image.RowTable[1][0] = 1, image.RowTable[1][2] = 3;
    RowSource swapped(view, kRgb8);
    EXPECT_EQ(swapped.Row(1)[0], 3);
    FCObjImage palette;
    ASSERT_TRUE(palette.Create(2, 2, 8));
    // Not rows of any layout, but its size: a warning counts its rows before it is widened.
    EXPECT_FALSE(ViewOf(palette).Valid());
    EXPECT_EQ(ViewOf(palette).Height, 2);
}

TEST(ChooseLayout, AlphaFirstThenDepthThenTheWritersOrder) {
    const PixelLayout every[] = {kRgb8, kRgba8, kRgb16, kRgba16};
    const PixelLayout eightBit[] = {kRgb8, kRgba8};
    const PixelLayout grey[] = {kGrey8, kRgb8};
    EXPECT_EQ(ChooseLayout(kRgba16, every, 4), kRgba16);
    EXPECT_EQ(ChooseLayout(kImage24Layout, every, 4), kRgb8);
    EXPECT_EQ(ChooseLayout(kRgb16, eightBit, 2), kRgb8);
    EXPECT_EQ(ChooseLayout(kRgba16, eightBit, 2), kRgba8);
    EXPECT_EQ(ChooseLayout(kRgba8, every, 1), kRgb8);
    EXPECT_EQ(ChooseLayout(kRgb8, grey, 2), kRgb8);
}

}  // namespace
