// The picture decoder as a codec: format told by content, refusals that leave nothing behind, no
// GIF writer (JPEG has its own), and every corpus file loading or being refused as listed.
#include <gtest/gtest.h>

#include <deque>

#include "ImageHandle_IPicture.h"
#include "PictureTestSupport.h"
#include "ProcessRunner.h"

namespace {

std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

TEST(PictureFormat, RefusesEmptyOrMissingBlockAndKeepsListEmpty) {
    FCImageHandle_IPicture codec;
    const uint8_t byte = 0xFF;
    EXPECT_FALSE(codec.LoadMemory(nullptr, 100));
    EXPECT_FALSE(codec.LoadMemory(&byte, 0));
    EXPECT_FALSE(codec.LoadMemory(&byte, -1));
    std::deque<FCObjImage*> list;
    codec.GetImageList(list, false);
    EXPECT_TRUE(list.empty());
}

TEST(PictureFormat, RefusesBytesWithoutAPictureSignature) {
    const std::vector<std::string> others = {
        "hello, world",
        std::string("BM\x3a\0\0\0", 6),                // a BMP
        std::string("GIF88a\x01\0\x01\0\0\0\0;", 14),  // no such GIF version
        std::string("\xFF\xD8", 2),                    // SOI without a following marker
        std::string("\xFF\xD8\x00\xFF\xD9", 5),
    };
    for (const std::string& other : others) {
        SCOPED_TRACE(other);
        EXPECT_FALSE(DecodePicture(Bytes(other)).Loaded);
    }
}

TEST(PictureFormat, ContentDecidesNotTheName) {
    ScratchDir dir;
    const std::string gif = ReadFileBytes(DataPath("gif/imagemagick/f-red-on-blue.gif"));
    ASSERT_TRUE(WriteFileBytes(dir / "x.jpg", gif));
    FCObjImage image;
    ASSERT_TRUE(image.LoadFromFile((dir / "x.jpg").c_str()));
    EXPECT_EQ(image.InfoHeader.biWidth, 6);
    EXPECT_EQ(image.InfoHeader.biBitCount, 24);

    ASSERT_TRUE(WriteFileBytes(dir / "notes.jpg", "not a picture at all"));
    EXPECT_FALSE(image.LoadFromFile((dir / "notes.jpg").c_str()));
    EXPECT_EQ(image.InfoHeader.biWidth, 6) << "a failed load leaves the target as it was";
}

TEST(PictureFormat, SavingAsGifFailsWithoutCreatingAFile) {
    ScratchDir dir;
    FCObjImage image;
    ASSERT_TRUE(image.Create(5, 3, 24));
    for (const char* name : {"out.gif", "OUT.GIF"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(image.SaveToFile((dir / name).c_str()));
        EXPECT_FALSE(PathExists(dir / name));
    }
    ASSERT_TRUE(WriteFileBytes(dir / "kept.gif", "old"));
    EXPECT_FALSE(image.SaveToFile((dir / "kept.gif").c_str()));
    EXPECT_EQ(ReadFileBytes(dir / "kept.gif"), "old");
}

constexpr int32_t kRefused = 0;
constexpr int32_t kEitherWay = -1;

struct CorpusCase {
    const char* path;
    int32_t width;  // kRefused, or kEitherWay for a file that may load or be refused but must not misbehave
    int32_t height;
};

// Outcomes as the corpus lists them.
const CorpusCase kCorpus[] = {
    {"jpeg/libjpeg-turbo/testorig.jpg", 227, 149},
    {"jpeg/libjpeg-turbo/testimgp.jpg", 227, 149},
    {"jpeg/libjpeg-turbo/testimggray.jpg", 227, 149},
    {"jpeg/libjpeg-turbo/testimgari.jpg", 227, 149},
    {"jpeg/libjpeg-turbo/testorig12.jpg", kRefused, kRefused},
    {"jpeg/pillow/pil_sample_cmyk.jpg", 100, 100},
    {"jpeg/pillow/truncated_jpeg.jpg", 100, 100},
    {"jpeg/pillow/truncated_app14.jpg", 100, 100},
    {"jpeg/pillow/app13.jpg", 4, 4},
    {"jpeg/pillow/icc-after-SOF.jpg", 10, 10},
    {"jpeg/wuffs/peacock.default.jpeg", 100, 75},
    {"jpeg/wuffs/peacock.progressive.jpeg", 100, 75},
    {"jpeg/wuffs/peacock.progressive.truncated.jpeg", 100, 75},
    {"jpeg/wuffs/peacock.default.truncated.jpeg", 100, 75},
    {"jpeg/wuffs/peacock.s-weird.jpeg", 100, 75},
    {"jpeg/wuffs/peacock.s1x3.jpeg", 100, 75},
    {"jpeg/wuffs/peacock.grayscale.jpeg", 100, 75},
    {"jpeg/wuffs/hippopotamus.jpeg", 36, 28},
    {"jpeg/wuffs/artificial/hippopotamus-sof-dht-swap.jpeg", 36, 28},
    {"jpeg/imagemagick/five-by-three.jpg", 5, 3},
    {"gif/giflib/gifgrid.gif", 100, 100},
    {"gif/giflib/treescap.gif", 40, 40},
    {"gif/giflib/treescap-interlaced.gif", 40, 40},
    {"gif/giflib/x-trans.gif", 100, 100},
    {"gif/giflib/fire.gif", 30, 60},
    {"gif/peterdn/animated_loop.gif", 100, 100},
    {"gif/peterdn/animated_transparent_loop_frames_out_of_bounds.gif", 100, 100},
    {"gif/pillow/no_palette.gif", 1, 1},
    {"gif/pillow/background_outside_palette.gif", 1, 1},
    {"gif/pillow/decompression_bomb.gif", kRefused, kRefused},
    {"gif/pillow/decompression_bomb_extents.gif", 100, 100},
    {"gif/pillow/test_extents.gif", 100, 100},
    {"gif/pillow/zero_width.gif", kRefused, kRefused},
    {"gif/pillow/first_frame_transparency.gif", 75, 50},
    {"gif/wuffs/animated-red-blue.gif", 64, 48},
    {"gif/wuffs/hippopotamus.interlaced.gif", 36, 28},
    {"gif/wuffs/hippopotamus.interlaced.truncated.gif", kRefused, kRefused},
    {"gif/wuffs/artificial/background-color.gif", 4, 1},
    {"gif/wuffs/artificial/empty-palette.gif", 1, 1},
    {"gif/wuffs/artificial/frame-out-of-bounds.gif", 2, 2},
    {"gif/wuffs/artificial/metadata-empty.gif", 2, 2},
    {"gif/wuffs/artificial/no-frames.gif", kRefused, kRefused},
    {"gif/wuffs/artificial/pixel-data-none.gif", kRefused, kRefused},
    {"gif/wuffs/artificial/pixel-data-not-enough.gif", kRefused, kRefused},
    {"gif/wuffs/artificial/zero-width-frame.gif", kEitherWay, kEitherWay},
    {"gif/imagemagick/f-red-on-blue.gif", 6, 5},
    {"gif/imagemagick/f-red-on-blue-interlaced.gif", 6, 5},
};

TEST(PictureCorpus, EveryFileLoadsOrIsRefusedAsListed) {
    for (const CorpusCase& c : kCorpus) {
        SCOPED_TRACE(c.path);
        const std::vector<uint8_t> bytes = ReadData(c.path);
        ASSERT_FALSE(bytes.empty());
        const DecodedPicture picture = DecodePicture(bytes);
        if (c.width != kEitherWay) {
            ASSERT_EQ(picture.Loaded, c.width != kRefused);
        }
        if (!picture.Loaded) continue;
        if (c.width != kEitherWay) {
            EXPECT_EQ(picture.Width, c.width);
            EXPECT_EQ(picture.Height, c.height);
        }
        EXPECT_EQ(picture.Bits, 24);
        EXPECT_TRUE(picture.PaddingZero);
    }
}

}  // namespace
