// JPEG input: pixel layout of the decoded picture, agreement with ImageMagick, the decision on
// damaged files, and refusal of sizes the image model cannot hold.
#include <gtest/gtest.h>

#include <deque>

#include "ImageHandle_IPicture.h"
#include "PictureTestSupport.h"
#include "RowNames.h"

namespace {

// ImageMagick may run its own IDCT; the same libjpeg gives identical bytes.
constexpr int kIdctTolerance = 2;
// The five-by-three fixture was encoded at quality 100 without subsampling.
constexpr int kEncoderTolerance = 8;

size_t FindMarker(const std::vector<uint8_t>& bytes, uint8_t marker) {
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (bytes[i] == 0xFF && bytes[i + 1] == marker) return i;
    }
    return bytes.size();
}

constexpr uint8_t kSof0 = 0xC0;
constexpr uint8_t kDqt = 0xDB;
constexpr uint8_t kSos = 0xDA;

TEST(JpegPicture, FiveByThreeFillsRowsOfSixteenBytesTopRowLast) {
    const std::vector<uint8_t> bytes = ReadData("jpeg/imagemagick/five-by-three.jpg");
    FCImageHandle_IPicture codec(FCImageHandle_IPicture::Format::Jpeg);
    ASSERT_TRUE(codec.LoadMemory(bytes.data(), int32_t(bytes.size())));
    std::deque<FCObjImage*> list;
    codec.GetImageList(list, false);
    ASSERT_EQ(list.size(), 1u);
    const FCObjImage& image = *list.front();
    EXPECT_EQ(image.InfoHeader.biBitCount, 24);
    EXPECT_EQ(image.Stride(), 16);
    EXPECT_EQ(image.InfoHeader.biHeight * image.Stride(), 48);
    EXPECT_EQ(image.RowTable[0], image.PixelStore + 32) << "the top row is stored last";
    for (int y = 0; y < 3; ++y) EXPECT_EQ(image.RowTable[y][15], 0) << "filler byte of row " << y;

    // Top-left is red, top row's third pixel blue, bottom-right light grey: catches flips and swaps.
    const uint8_t* topLeft = image.RowTable[0];
    EXPECT_GT(topLeft[2], 240);
    EXPECT_LT(topLeft[0], 16);
    const uint8_t* topThird = image.RowTable[0] + 6;
    EXPECT_GT(topThird[0], 240);
    EXPECT_LT(topThird[2], 16);
    EXPECT_NEAR(image.RowTable[2][12], 200, kEncoderTolerance);

    const DecodedPicture picture = DecodePicture(bytes);
    const int difference = MaxDifference(picture.Rgb, ReadData("jpeg/imagemagick/five-by-three.rgb"));
    EXPECT_GE(difference, 0);
    EXPECT_LE(difference, kIdctTolerance);
}

const char* const kCodingModes[] = {
    "jpeg/libjpeg-turbo/testorig.jpg",     // baseline 4:2:0
    "jpeg/libjpeg-turbo/testimgp.jpg",     // progressive
    "jpeg/libjpeg-turbo/testimggray.jpg",  // one component
    "jpeg/libjpeg-turbo/testimgari.jpg",   // arithmetic coding
    "jpeg/wuffs/peacock.s1x3.jpeg",        // subsampling TurboJPEG has no name for
    "jpeg/wuffs/hippopotamus.jpeg",        // 4:4:4, width not a multiple of 4 bytes
    "jpeg/pillow/pil_sample_cmyk.jpg",     // Adobe YCCK: our own CMYK conversion
};

class CodingMode : public ::testing::TestWithParam<const char*> {};

TEST_P(CodingMode, MatchesImageMagick) {
    const char* file = GetParam();
    const DecodedPicture picture = DecodePicture(ReadData(file));
    ASSERT_TRUE(picture.Loaded);
    const int difference = MaxDifference(picture.Rgb, ImageMagickRgb(file));
    EXPECT_GE(difference, 0) << "sizes differ";
    EXPECT_LE(difference, kIdctTolerance);
}

INSTANTIATE_TEST_SUITE_P(JpegPicture, CodingMode, ::testing::ValuesIn(kCodingModes), NamedByValue());

// The warning decision: a file cut after its scan header decodes to the end with a warning and
// loads; a file cut before the scan marker has no picture. (Cut inside the scan header, the library
// may still go on with a warning.)
TEST(JpegPicture, TruncatedFileLoadsOnceItsScanHasBegun) {
    const std::vector<uint8_t> whole = ReadData("jpeg/wuffs/hippopotamus.jpeg");
    const size_t sos = FindMarker(whole, kSos);
    ASSERT_LT(sos + 4, whole.size());
    const size_t scanStart = sos + 2 + (size_t(whole[sos + 2]) << 8 | whole[sos + 3]);
    for (size_t length = 1; length < whole.size(); ++length) {
        const DecodedPicture picture =
            DecodePicture(std::vector<uint8_t>(whole.begin(), whole.begin() + length));
        if (length <= sos + 2) {
            ASSERT_FALSE(picture.Loaded) << "prefix of " << length << " bytes";
        }
        if (length >= scanStart) {
            ASSERT_TRUE(picture.Loaded) << "prefix of " << length << " bytes";
        }
        if (picture.Loaded) {
            ASSERT_TRUE(picture.PaddingZero);
        }
    }
}

TEST(JpegPicture, FatalErrorRefusesTheFileEvenAfterAWarning) {
    const std::vector<uint8_t> good = ReadData("jpeg/wuffs/peacock.default.jpeg");
    const size_t dqt = FindMarker(good, kDqt);
    ASSERT_LT(dqt, good.size());

    std::vector<uint8_t> strayBytes = good;  // "extraneous bytes before marker": a warning only
    strayBytes.insert(strayBytes.begin() + long(dqt), {0x00, 0x00, 0x00});
    EXPECT_TRUE(DecodePicture(strayBytes).Loaded);

    // The first component of the scan names Huffman tables 3, which the file never defines.
    auto withUndefinedTable = [](std::vector<uint8_t> bytes) {
        bytes[FindMarker(bytes, kSos) + 6] = 0x33;
        return bytes;
    };
    EXPECT_FALSE(DecodePicture(withUndefinedTable(good)).Loaded);
    EXPECT_FALSE(DecodePicture(withUndefinedTable(strayBytes)).Loaded);
}

TEST(JpegPicture, RefusesSizesTheImageModelCannotHold) {
    std::vector<uint8_t> huge = ReadData("jpeg/wuffs/peacock.default.jpeg");
    const size_t sof = FindMarker(huge, kSof0);
    ASSERT_LT(sof + 9, huge.size());
    // 65500 x 65500 at 3 bytes a pixel is far beyond a signed 32-bit pixel block.
    huge[sof + 5] = 0xFF;
    huge[sof + 6] = 0xDC;
    huge[sof + 7] = 0xFF;
    huge[sof + 8] = 0xDC;
    EXPECT_FALSE(DecodePicture(huge).Loaded);
}

TEST(JpegPicture, CorruptedBytesNeverMisbehave) {
    const std::vector<uint8_t> good = ReadData("jpeg/libjpeg-turbo/testimgp.jpg");
    for (size_t pos = 2; pos < good.size(); pos += 7) {
        std::vector<uint8_t> bad = good;
        bad[pos] ^= 0xA5;
        const DecodedPicture picture = DecodePicture(bad);
        if (picture.Loaded) {
            ASSERT_TRUE(picture.PaddingZero) << "byte " << pos;
        }
    }
}

}  // namespace
