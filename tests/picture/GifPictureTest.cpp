// GIF input: the logical screen with the first frame on it, against giflib's own dumps and
// ImageMagick, and the named decisions on background, clipping, missing maps and transparency.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "PictureTestSupport.h"
#include "RowNames.h"

namespace {

using Rgb = std::vector<uint8_t>;

Rgb Repeat(const Rgb& pixel, size_t count) {
    Rgb all;
    for (size_t i = 0; i < count; ++i) all.insert(all.end(), pixel.begin(), pixel.end());
    return all;
}

// Screen 3 x 1 with a two-entry map (red, white); one frame of indices 0, 3, 1, and 3 lies past the
// map. LZW codes of 3 bits: clear, 0, 3, clear, 1, end.
const std::vector<uint8_t> kIndexPastMap = {'G',  'I', 'F',  '8',  '9',  'a',  3,   0, 1, 0,
                                            0x80, 0,   0,                                     // screen
                                            0xFF, 0,   0,    0xFF, 0xFF, 0xFF,                // map
                                            0x2C, 0,   0,    0,    0,    3,    0,   1, 0, 0,  // frame
                                            2,    3,   0xC4, 0x98, 0x02, 0,    0x3B};
constexpr size_t kFrameFlagsOffset = 28;
constexpr size_t kScreenSizeOffset = 6;

const Rgb kRed = {0xFF, 0x00, 0x00};
const Rgb kBlue = {0x00, 0x00, 0xFF};
const Rgb kBlack = {0x00, 0x00, 0x00};

class GiflibDump : public ::testing::TestWithParam<const char*> {};

TEST_P(GiflibDump, MatchesTheDecode) {
    const std::string name = GetParam();
    const DecodedPicture picture = DecodePicture(ReadData("gif/giflib/" + name + ".gif"));
    ASSERT_TRUE(picture.Loaded);
    EXPECT_EQ(picture.Rgb, ReadData("gif/giflib/expected/" + name + ".rgb"));
}

// x-trans.gif is interlaced and has a transparent index, which draws its map colour.
INSTANTIATE_TEST_SUITE_P(GifPicture, GiflibDump,
                         ::testing::Values("gifgrid", "treescap", "treescap-interlaced", "x-trans"),
                         NamedByValue());

TEST(GifPicture, PaletteGifGivesTheFInTwentyFourBitsInterlacedOrNot) {
    const char* const f[] = {"RRRRRR", "RBBBBB", "RRRRBB", "RBBBBB", "RBBBBB"};
    Rgb expected;
    for (const char* row : f) {
        for (const char* p = row; *p != '\0'; ++p) {
            const Rgb& colour = *p == 'R' ? kRed : kBlue;
            expected.insert(expected.end(), colour.begin(), colour.end());
        }
    }
    for (const char* file :
         {"gif/imagemagick/f-red-on-blue.gif", "gif/imagemagick/f-red-on-blue-interlaced.gif"}) {
        SCOPED_TRACE(file);
        const DecodedPicture picture = DecodePicture(ReadData(file));
        ASSERT_TRUE(picture.Loaded);
        EXPECT_EQ(picture.Bits, 24);
        EXPECT_TRUE(picture.PaddingZero) << "18 bytes of pixels in rows of 20";
        EXPECT_EQ(picture.Rgb, expected);
    }
}

class Animation : public ::testing::TestWithParam<const char*> {};

TEST_P(Animation, GivesItsFirstFrameAsImageMagickDoes) {
    const char* file = GetParam();
    const DecodedPicture picture = DecodePicture(ReadData(file));
    ASSERT_TRUE(picture.Loaded);
    EXPECT_EQ(picture.Rgb, ImageMagickRgb(file));
}

// The last has a local map on frame 1.
INSTANTIATE_TEST_SUITE_P(GifPicture, Animation,
                         ::testing::Values("gif/giflib/fire.gif", "gif/peterdn/animated_loop.gif",
                                           "gif/wuffs/animated-red-blue.gif"),
                         NamedByValue());

TEST(GifPicture, DamageAfterTheFirstFrameDoesNotMatter) {
    const std::vector<uint8_t> whole = ReadData("gif/giflib/fire.gif");
    const DecodedPicture full = DecodePicture(whole);
    ASSERT_TRUE(full.Loaded);
    std::vector<uint8_t> cut(whole.begin(), whole.begin() + long(whole.size() / 2));
    cut.insert(cut.end(), 64, 0xEE);
    const DecodedPicture damaged = DecodePicture(cut);
    ASSERT_TRUE(damaged.Loaded);
    EXPECT_EQ(damaged.Rgb, full.Rgb);
}

TEST(GifPicture, UncoveredPixelsShowTheScreenBackground) {
    // A 4 x 1 screen whose first frame covers the left two pixels; background index 3 is 80 C3 C3.
    const DecodedPicture picture = DecodePicture(ReadData("gif/wuffs/artificial/background-color.gif"));
    ASSERT_TRUE(picture.Loaded);
    EXPECT_EQ(picture.Rgb, (Rgb{0x80, 0x00, 0x00, 0x80, 0x00, 0xC1, 0x80, 0xC3, 0xC3, 0x80, 0xC3, 0xC3}));
}

TEST(GifPicture, FrameReachingPastTheScreenIsClipped) {
    // 2 x 2 screen, frame 3 x 1 at (1, 0): only its first pixel is visible.
    const DecodedPicture partly = DecodePicture(ReadData("gif/wuffs/artificial/frame-out-of-bounds.gif"));
    ASSERT_TRUE(partly.Loaded);
    EXPECT_EQ(partly.Rgb, (Rgb{0x00, 0x00, 0xFF, 0x11, 0x00, 0xFF, 0x00, 0x00, 0xFF, 0x00, 0x00, 0xFF}));

    // 100 x 100 screen, first frame at x = 200: nothing but background.
    const DecodedPicture outside =
        DecodePicture(ReadData("gif/peterdn/animated_transparent_loop_frames_out_of_bounds.gif"));
    ASSERT_TRUE(outside.Loaded);
    EXPECT_EQ(outside.Rgb, Repeat({0x8F, 0xBC, 0x8F}, 100 * 100));
}

TEST(GifPicture, MissingMapsAndIndicesPastTheMapGiveBlack) {
    const DecodedPicture noMap = DecodePicture(ReadData("gif/pillow/no_palette.gif"));
    ASSERT_TRUE(noMap.Loaded);
    EXPECT_EQ(noMap.Rgb, kBlack);

    EXPECT_EQ(DecodePicture(kIndexPastMap).Rgb, (Rgb{0xFF, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF}));

    std::vector<uint8_t> localMap = kIndexPastMap;  // the frame's own map (blue, red) wins
    localMap[kFrameFlagsOffset] = 0x80;
    localMap.insert(localMap.begin() + kFrameFlagsOffset + 1, {0, 0, 0xFF, 0xFF, 0, 0});
    EXPECT_EQ(DecodePicture(localMap).Rgb, (Rgb{0, 0, 0xFF, 0, 0, 0, 0xFF, 0, 0}));
}

TEST(GifPicture, RefusesScreensTheImageModelCannotHold) {
    std::vector<uint8_t> huge = kIndexPastMap;
    std::fill_n(huge.begin() + kScreenSizeOffset, 4, 0xFF);  // 65535 x 65535
    EXPECT_FALSE(DecodePicture(huge).Loaded);
}

TEST(GifPicture, CutInsideTheOnlyFrameIsRefused) {
    const std::vector<uint8_t> whole = ReadData("gif/giflib/treescap-interlaced.gif");
    // Only the trailer byte may go: the frame itself must be complete.
    for (size_t length = 1; length + 1 < whole.size(); ++length) {
        ASSERT_FALSE(DecodePicture(std::vector<uint8_t>(whole.begin(), whole.begin() + long(length))).Loaded)
            << "prefix of " << length << " bytes";
    }
    EXPECT_TRUE(DecodePicture(std::vector<uint8_t>(whole.begin(), whole.end() - 1)).Loaded);
}

TEST(GifPicture, CorruptedBytesNeverMisbehave) {
    const std::vector<uint8_t> good = ReadData("gif/wuffs/animated-red-blue.gif");
    for (size_t pos = 6; pos < good.size(); pos += 5) {
        std::vector<uint8_t> bad = good;
        bad[pos] ^= 0x5A;
        const DecodedPicture picture = DecodePicture(bad);
        if (picture.Loaded) {
            ASSERT_TRUE(picture.PaddingZero) << "byte " << pos;
        }
    }
}

}  // namespace
