// The picture decoder as a codec: format told by content, refusals that leave nothing behind, no
// GIF writer (JPEG has its own), and every corpus file loading or being refused as listed.
#include <gtest/gtest.h>

#include <deque>

#include "CorpusOutcomes.h"
#include "ImageHandle_IPicture.h"
#include "PictureTestSupport.h"
#include "ProcessRunner.h"
#include "RowNames.h"

namespace {

std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

TEST(PictureFormat, RefusesEmptyOrMissingBlockAndKeepsListEmpty) {
    FCImageHandle_IPicture codec(FCImageHandle_IPicture::Format::Jpeg);
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

// A format read but never written: PBM, which would lose every colour.
TEST(PictureFormat, SavingAsAReadOnlyFormatFailsWithoutCreatingAFile) {
    ScratchDir dir;
    FCObjImage image;
    ASSERT_TRUE(image.Create(5, 3, 24));
    for (const char* name : {"out.pbm", "OUT.PBM"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(image.SaveToFile((dir / name).c_str()));
        EXPECT_FALSE(PathExists(dir / name));
    }
    ASSERT_TRUE(WriteFileBytes(dir / "kept.pbm", "old"));
    EXPECT_FALSE(image.SaveToFile((dir / "kept.pbm").c_str()));
    EXPECT_EQ(ReadFileBytes(dir / "kept.pbm"), "old");
}

std::vector<CorpusOutcome> ReadPictureCorpus() {
    return ReadCorpusOutcomes({"jpg", "jpeg", "gif"});
}

TEST(PictureCorpus, ListsAtLeastFiftyFiles) {
    ASSERT_GE(ReadPictureCorpus().size(), 50u);
}

class CorpusFile : public ::testing::TestWithParam<CorpusOutcome> {};

TEST_P(CorpusFile, LoadsOrIsRefusedAsListed) {
    const CorpusOutcome& c = GetParam();
    const std::vector<uint8_t> bytes = ReadData(c.Path);
    ASSERT_FALSE(bytes.empty());
    const DecodedPicture picture = DecodePicture(bytes);
    // An edge file may load or be refused, but must not misbehave.
    if (c.Expected != "edge") {
        ASSERT_EQ(picture.Loaded, c.Expected == "load");
    }
    if (!picture.Loaded) return;
    if (c.Expected != "edge") {
        EXPECT_EQ(picture.Width, c.Width);
        EXPECT_EQ(picture.Height, c.Height);
    }
    EXPECT_EQ(picture.Bits, 24);
    EXPECT_TRUE(picture.PaddingZero);
}

INSTANTIATE_TEST_SUITE_P(PictureCorpus, CorpusFile, ::testing::ValuesIn(ReadPictureCorpus()),
                         NamedBy<&CorpusOutcome::Path>());

}  // namespace
