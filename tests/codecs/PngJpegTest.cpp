// PNG and JPEG codecs: every depth survives a PNG round trip, JPEG quality picks the standard tables
// scaled to it and the chroma sampling, and damaged, cut or oversized files are refused before pixel memory
// is taken.
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>

#include "CodecTestSupport.h"
#include "ImageHandle_Jpeg.h"
#include "ImageHandle_Png.h"
#include "PixelLimit.h"
#include "RowNames.h"

using namespace codectest;

namespace {

constexpr size_t kEndChunkBytes = 12;

template <class Codec>
bool Save(const FCObjImage& image, const std::string& path, int32_t flag) {
    Codec codec;
    codec.SaveList.push_back(&image);
    return codec.SaveFile(path.c_str(), flag);
}

std::unique_ptr<FCObjImage> LoadFile(const std::string& path) {
    auto image = std::make_unique<FCObjImage>();
    return image->LoadFromFile(path.c_str()) ? std::move(image) : nullptr;
}

double MeanAbsoluteError(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) sum += std::abs(int(a[i]) - int(b[i]));
    return a.empty() ? 0 : sum / double(a.size());
}

// Entries 0, 1 and 63 (zigzag order) of the standard luminance and chrominance tables.
constexpr int kStandardSamples[2][3] = {{16, 11, 99}, {17, 18, 99}};

std::vector<int> ScaledStandardSamples(int quality) {
    const int scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
    std::vector<int> samples;
    for (const auto& table : kStandardSamples)
        for (int base : table) samples.push_back(std::clamp((base * scale + 50) / 100, 1, 255));
    return samples;
}

// The same entries of the file's first two 8-bit quantisation tables, wherever they are defined.
std::vector<int> QuantisationSamples(const std::vector<uint8_t>& file) {
    std::vector<int> samples;
    for (size_t at = 2; at + 4 <= file.size() && file[at] == 0xFF && file[at + 1] != 0xDA;) {
        const size_t length = size_t(file[at + 2]) << 8 | file[at + 3];
        for (size_t t = at + 4; file[at + 1] == 0xDB && t + 65 <= at + 2 + length && samples.size() < 6;
             t += 65)
            samples.insert(samples.end(), {file[t + 1], file[t + 2], file[t + 64]});
        at += 2 + length;
    }
    return samples;
}

}  // namespace

TEST(PngCodec, EveryDepthRoundTripsWithTheSameColours) {
    struct Case {
        int32_t w, h;
        uint16_t bpp;
        bool bitFields;
    };
    const Case cases[] = {{13, 7, 1, false},  {13, 7, 4, false}, {13, 7, 8, false},
                          {13, 7, 16, false}, {13, 7, 16, true}, {13, 7, 24, false},
                          {13, 7, 32, false}, {1, 1, 24, false}, {301, 2, 24, false}};
    ScratchDir dir;
    for (const Case& c : cases) {
        const FCObjImage image = RandomImage(c.w, c.h, c.bpp, c.bitFields);
        const std::string path = dir / "x.png";
        ASSERT_TRUE(Save<FCImageHandle_Png>(image, path, -1)) << c.bpp;
        const auto back = Decode<FCImageHandle_Png>(ReadFile(path));
        ASSERT_TRUE(back) << c.bpp;
        EXPECT_EQ(back->InfoHeader.biBitCount, 24);
        EXPECT_EQ(Rgb(*back), Rgb(image)) << c.w << "x" << c.h << " at " << c.bpp;
        EXPECT_EQ(image.InfoHeader.biBitCount, c.bpp);  // the saved image is not widened
    }
}

namespace {

class CutOrFlippedPng : public ::testing::TestWithParam<const char*> {};

TEST_P(CutOrFlippedPng, IsRefused) {
    const char* name = GetParam();
    const std::vector<uint8_t> whole = ReadFile(DataPath(name));
    ASSERT_TRUE(Decode<FCImageHandle_Png>(whole)) << name;
    // Cut anywhere before the end chunk: a file without it may have lost image data too. The
    // refusal says why.
    for (size_t n = 0; n < whole.size() - kEndChunkBytes; ++n) {
        const std::vector<uint8_t> prefix(whole.begin(), whole.begin() + n);
        FCImageHandle_Png codec;
        EXPECT_FALSE(codec.LoadMemory(prefix.data(), int32_t(n))) << name << " " << n;
        EXPECT_NE(codec.Result.Detail, "") << name << " " << n;
    }
    // A changed byte anywhere after the signature breaks a checksum.
    for (size_t at = 8; at < whole.size(); at += 7) {
        std::vector<uint8_t> changed = whole;
        changed[at] ^= 0x10;
        EXPECT_FALSE(Decode<FCImageHandle_Png>(changed)) << name << " byte " << at;
    }
}

INSTANTIATE_TEST_SUITE_P(PngReader, CutOrFlippedPng,
                         ::testing::Values("png/pngsuite/basn2c08.png", "png/pngsuite/basi0g16.png",
                                           "png/pngsuite/s01i3p01.png", "png/pngsuite/oi4n2c16.png"),
                         NamedByValue());

}  // namespace

// Each file claims 26000 x 26000 pixels (2 GB at 24 bits) in a few dozen bytes.
TEST(PixelLimit, ClaimedSizesAreRefusedBeforePixelMemory) {
    for (const char* name : {"regress/png-claims-26000x26000.png", "regress/gif-claims-26000x26000.gif",
                             "regress/jpeg-cut-claims-26000x26000.jpg"}) {
        FCObjImage image;
        const std::string path = DataPath(name);
        const std::vector<uint8_t> bytes = ReadFile(path);
        std::unique_ptr<FCImageHandleBase> codec =
            GetImageHandleFactory()->CreateImageHandle(GetImageHandleFactory()->GetImageType(path.c_str()));
        ASSERT_TRUE(codec) << name;
        EXPECT_FALSE(codec->LoadMemory(bytes.data(), int32_t(bytes.size()))) << name;
        EXPECT_EQ(codec->Result.Status, LoadStatus::OverPixelLimit) << name;
        EXPECT_EQ(codec->Result.Width, 26000u) << name;
        EXPECT_EQ(codec->Result.Height, 26000u) << name;
    }
}

TEST(JpegWriter, QualityChoosesTablesAndChroma) {
    const auto source = LoadFile(DataPath("bmp/wuffs/bricks-color.bmp"));
    ASSERT_TRUE(source);
    struct Case {
        int32_t flag, quality, subsampling;
    };
    const Case cases[] = {{-1, 92, TJSAMP_444}, {100, 100, TJSAMP_444}, {90, 90, TJSAMP_444},
                          {89, 89, TJSAMP_420}, {50, 50, TJSAMP_420},   {1, 1, TJSAMP_420}};
    ScratchDir dir;
    for (int32_t flag : {0, 101, -2}) EXPECT_FALSE(source->SaveToFile((dir / "no.jpg").c_str(), flag));
    EXPECT_EQ(dir.EntryCount(), 0u);
    const std::string path = dir / "x.jpg";
    for (const Case& c : cases) {
        ASSERT_TRUE(source->SaveToFile(path.c_str(), c.flag)) << c.flag;
        const std::vector<uint8_t> file = ReadFile(path);
        tjhandle tj = tjInitDecompress();
        int w = 0, h = 0, subsampling = -1, colorspace = -1;
        EXPECT_EQ(0, tjDecompressHeader3(tj, file.data(), file.size(), &w, &h, &subsampling, &colorspace));
        tjDestroy(tj);
        EXPECT_EQ(subsampling, c.subsampling) << c.flag;
        EXPECT_EQ(w, 160);
        EXPECT_EQ(h, 120);
        // The standard tables scaled to the quality, as the IJG scaling gives them.
        EXPECT_EQ(QuantisationSamples(file), ScaledStandardSamples(c.quality)) << c.flag;
        // The accurate DCT: the same pixels as libjpeg-turbo's own tool makes of the same picture.
        if (c.quality != 92 && c.quality != 50) continue;
        ASSERT_TRUE(source->SaveToFile((dir / "x.ppm").c_str()));
        const std::string cjpeg = "cjpeg -dct int -quality " + std::to_string(c.quality) + " -sample " +
                                  (c.subsampling == TJSAMP_444 ? "1x1" : "2x2") + " -outfile " +
                                  dir / "c.jpg" + " " + dir / "x.ppm";
        ASSERT_EQ(0, std::system(cjpeg.c_str()));
        EXPECT_EQ(Rgb(*LoadFile(path)), Rgb(*LoadFile(dir / "c.jpg"))) << c.quality;
    }
}

TEST(JpegWriter, BestQualityReadsBackCloseAtEveryDepth) {
    ScratchDir dir;
    const auto photo = LoadFile(DataPath("bmp/wuffs/hippopotamus.bmp"));
    ASSERT_TRUE(photo);
    const std::string path = dir / "x.JPEG";
    ASSERT_TRUE(photo->SaveToFile(path.c_str(), 100));
    const auto back = LoadFile(path);
    ASSERT_TRUE(back);
    EXPECT_LT(MeanAbsoluteError(Rgb(*back), Rgb(*photo)), 1.0);
    // Palette and 16-bit pictures are widened on the way out; the image itself stays as it was.
    for (uint16_t bpp : {8, 16}) {
        FCObjImage narrow;
        ASSERT_TRUE(narrow.Create(photo->InfoHeader.biWidth, photo->InfoHeader.biHeight, bpp));
        for (int32_t y = 0; y < narrow.InfoHeader.biHeight; ++y)
            for (int32_t i = 0; i < narrow.Stride(); ++i) narrow.RowTable[y][i] = uint8_t(y * 9 + i / 6);
        ASSERT_TRUE(narrow.SaveToFile(path.c_str(), 100)) << bpp;
        EXPECT_EQ(narrow.InfoHeader.biBitCount, bpp);
        const auto wide = LoadFile(path);
        ASSERT_TRUE(wide) << bpp;
        EXPECT_LT(MeanAbsoluteError(Rgb(*wide), Rgb(narrow)), 1.0) << bpp;
    }
}
