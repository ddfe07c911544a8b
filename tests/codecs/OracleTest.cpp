// Files written by ImageMagick in many BMP, TGA and PNG variants load with the pixels it sees, and
// the files we write show ImageMagick the pixels we hold.
#include "CodecTestSupport.h"
#include "ImageHandle_Bmp.h"
#include "ImageHandle_Tga.h"

using namespace codectest;

namespace {

struct Variant {
    const char* options;  // ImageMagick options and output prefix
    const char* file;
    uint16_t bpp;                  // 0: must be refused
    uint32_t bits[3] = {8, 8, 8};  // red, green and blue channel widths of the file
};

// An odd width exercises row padding; the hippopotamus has no symmetry to hide a flip.
const char* kSource = "bmp/wuffs/hippopotamus.bmp[35x27+0+0]";

const Variant kVariants[] = {
    {"BMP3:", "v3-24.bmp", 24},
    {"-type Palette -compress None BMP3:", "v3-8.bmp", 8},
    {"-colors 16 -compress None BMP3:", "v3-4.bmp", 4},
    {"-monochrome", "v4-1.bmp", 1},
    {"-define bmp:subtype=RGB565", "v5-565.bmp", 16, {5, 6, 5}},
    {"-define bmp:subtype=RGB555", "v5-555.bmp", 16, {5, 5, 5}},
    {"-alpha set -channel A -fx i/w +channel BMP:", "v5-32.bmp", 32},
    {"-alpha set -define bmp3:alpha=true BMP3:", "v3-32.bmp", 32},
    {"BMP:", "v5-24.bmp", 24},
    {"-type Palette -compress None BMP:", "v5-8.bmp", 8},
    {"-type Palette -compress RLE BMP3:", "rle8.bmp", 8},
    {"-colors 16 -type Palette -compress RLE BMP3:", "rle8-16.bmp", 8},
    {"-define bmp:format=bmp2", "core.bmp", 0},
    {"", "raw24.tga", 24},
    {"-compress RLE", "rle24.tga", 24},
    {"-alpha set -channel A -fx i/w +channel", "raw32.tga", 32},
    {"-alpha set -channel A -fx i/w +channel -compress RLE", "rle32.tga", 32},
    {"-type Palette", "raw8map.tga", 8},
    {"-type Palette -compress RLE", "rle8map.tga", 8},
    {"-colors 7 -type Palette", "raw8min.tga", 8},
    {"-colorspace Gray", "raw8grey.tga", 8},
    {"-colorspace Gray -compress RLE", "rle8grey.tga", 8},
    {"-orient TopLeft -compress RLE", "rle24tl.tga", 24},
    {"PNG24:", "rgb8.png", 24},
    {"-depth 16 -evaluate add 0.1% PNG48:", "rgb16.png", 24},
    {"-alpha set -channel A -fx i/w +channel PNG32:", "rgba8.png", 24},
    {"-depth 16 -evaluate add 0.1% -alpha set -channel A -fx i/w +channel PNG64:", "rgba16.png", 24},
    {"-colors 200 PNG8:", "palette8.png", 24},
    {"-colors 4 PNG8:", "palette4.png", 24},
    {"-colors 2 PNG8:", "palette2.png", 24},
    {"-colorspace Gray -define png:bit-depth=8 -define png:color-type=0", "grey8.png", 24},
    {"-colorspace Gray -depth 16 -evaluate add 0.1% -define png:color-type=0", "grey16.png", 24},
    {"-monochrome", "grey1.png", 24},
    {"-colorspace Gray -alpha set -define png:color-type=4", "greyalpha.png", 24},
    {"-interlace PNG PNG24:", "adam7.png", 24},
};

std::unique_ptr<FCObjImage> LoadFile(const std::string& path) {
    auto image = std::make_unique<FCObjImage>();
    return image->LoadFromFile(path.c_str()) ? std::move(image) : nullptr;
}

}  // namespace

TEST(Oracle, ImageMagickFilesLoadWithItsPixels) {
    if (!HaveMagick()) GTEST_SKIP() << "no " << kMagick;
    ScratchDir dir;
    for (const Variant& v : kVariants) {
        const std::string out = dir.File(v.file);
        const std::string options(v.options);
        const char* gap = options.empty() || options.back() == ':' ? "" : " ";
        ASSERT_TRUE(RunMagick("'" + DataPath(kSource) + "' " + options + gap + "'" + out + "'")) << v.file;
        const auto image = LoadFile(out);
        if (v.bpp == 0) {
            EXPECT_FALSE(image) << v.file;
            continue;
        }
        ASSERT_TRUE(image) << v.file;
        EXPECT_EQ(image->InfoHeader.biBitCount, v.bpp) << v.file;
        EXPECT_EQ(image->InfoHeader.biWidth, 35);
        const bool png = GetFileExtension(v.file) == "png";
        ExpectPixelsLikeMagick(out, *image, v.bits, png ? kMagickStoredColour : "");
    }
}

TEST(Oracle, ImageMagickSeesThePixelsWeWrite) {
    if (!HaveMagick()) GTEST_SKIP() << "no " << kMagick;
    ScratchDir dir;
    const auto source = LoadFile(DataPath("bmp/wuffs/hippopotamus.bmp"));
    ASSERT_TRUE(source);
    for (uint16_t bpp : {32, 16, 8, 4, 1}) {
        FCObjImage reduced;
        ASSERT_TRUE(reduced.Create(source->InfoHeader.biWidth, source->InfoHeader.biHeight, bpp));
        for (int32_t y = 0; y < reduced.InfoHeader.biHeight; ++y)
            for (int32_t i = 0; i < reduced.Stride(); ++i)
                reduced.RowTable[y][i] = source->RowTable[y][i % 100];
        for (const char* name : {"ours.bmp", "ours.tga"}) {
            const std::string out = dir.File(name);
            const bool tga = name[5] == 't';
            if (tga && bpp < 8) continue;
            for (int32_t flag : {-1, 1}) {
                FCImageHandle_Tga tgaCodec;
                FCImageHandle_Bmp bmpCodec;
                FCImageHandleBase& codec = tga ? static_cast<FCImageHandleBase&>(tgaCodec) : bmpCodec;
                codec.SaveList.push_back(&reduced);
                ASSERT_TRUE(codec.SaveFile(out.c_str(), flag)) << name << bpp;
                const uint32_t bits[3] = {bpp == 16 ? 5u : 8u, bpp == 16 ? 5u : 8u, bpp == 16 ? 5u : 8u};
                ExpectPixelsLikeMagick(out, reduced, bits);
            }
        }
    }
}
