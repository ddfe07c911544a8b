// Files written by ImageMagick in many BMP, TGA and PNG variants load with the pixels it sees, and
// the files we write show ImageMagick the pixels we hold.
#include <cstdlib>

#include "CodecTestSupport.h"
#include "ImageHandle_Bmp.h"
#include "ImageHandle_Tga.h"
#include "RowNames.h"

using namespace codectest;

namespace {

// Written once by ImageMagick (tests/data/reference/oracle-variants.txt names the options) and
// committed with its decodes.
struct Variant {
    const char* file;
    uint16_t bpp;                  // 0: must be refused
    uint32_t bits[3] = {8, 8, 8};  // red, green and blue channel widths of the file
    friend void PrintTo(const Variant& v, std::ostream* out) { *out << v.file; }
};

// 35 x 27 pixels of the hippopotamus: an odd width exercises row padding, and no symmetry hides a flip.
const Variant kVariants[] = {
    {"v3-24.bmp", 24},
    {"v3-8.bmp", 8},
    {"v3-4.bmp", 4},
    {"v4-1.bmp", 1},
    {"v5-565.bmp", 16, {5, 6, 5}},
    {"v5-555.bmp", 16, {5, 5, 5}},
    {"v5-32.bmp", 24},
    {"v3-32.bmp", 32},
    {"v5-24.bmp", 24},
    {"v5-8.bmp", 8},
    {"rle8.bmp", 8},
    {"rle8-16.bmp", 8},
    {"core.bmp", 0},
    {"raw24.tga", 24},
    {"rle24.tga", 24},
    {"raw32.tga", 24},
    {"rle32.tga", 24},
    {"raw8map.tga", 8},
    {"rle8map.tga", 8},
    {"raw8min.tga", 8},
    {"raw8grey.tga", 8},
    {"rle8grey.tga", 8},
    {"rle24tl.tga", 24},
    {"rgb8.png", 24},
    {"rgb16.png", 24},
    {"rgba8.png", 24},
    {"rgba16.png", 24},
    {"palette8.png", 24},
    {"palette4.png", 24},
    {"palette2.png", 24},
    {"grey8.png", 24},
    {"grey16.png", 24},
    {"grey1.png", 24},
    {"greyalpha.png", 24},
    {"adam7.png", 24},
};

std::unique_ptr<FCObjImage> LoadFile(const std::string& path) {
    auto image = std::make_unique<FCObjImage>();
    return image->LoadFromFile(path.c_str()) ? std::move(image) : nullptr;
}

class ImageMagickFile : public ::testing::TestWithParam<Variant> {};

TEST_P(ImageMagickFile, LoadsWithItsPixels) {
    const Variant& v = GetParam();
    const std::string out = DataPath(std::string("reference/oracle/") + v.file);
    const auto image = LoadFile(out);
    if (v.bpp == 0) {
        EXPECT_FALSE(image) << v.file;
        return;
    }
    ASSERT_TRUE(image) << v.file;
    EXPECT_EQ(image->InfoHeader.biBitCount, v.bpp) << v.file;
    EXPECT_EQ(image->InfoHeader.biWidth, 35);
    ExpectPixelsLikeReference(out + ".rgb", *image, v.bits);
}

INSTANTIATE_TEST_SUITE_P(Oracle, ImageMagickFile, ::testing::ValuesIn(kVariants), NamedBy<&Variant::file>());

}  // namespace

// What we write is compared byte for byte with files whose ImageMagick decodes are committed; a
// deliberate change of the writers makes new ones: run this test with CORVANE_KEEP_WRITTEN set to
// tests/data/reference/written, then tests/data/reference/make-references.sh.
TEST(Oracle, ImageMagickSeesThePixelsWeWrite) {
    const char* keep = std::getenv("CORVANE_KEEP_WRITTEN");
    ScratchDir dir;
    const auto source = LoadFile(DataPath("bmp/wuffs/hippopotamus.bmp"));
    ASSERT_TRUE(source);
    for (uint16_t bpp : {32, 16, 8, 4, 1}) {
        FCObjImage reduced;
        ASSERT_TRUE(reduced.Create(source->InfoHeader.biWidth, source->InfoHeader.biHeight, bpp));
        for (int32_t y = 0; y < reduced.InfoHeader.biHeight; ++y)
            for (int32_t i = 0; i < reduced.Stride(); ++i)
                reduced.RowTable[y][i] = source->RowTable[y][i % 100];
        for (const char* extension : {"bmp", "tga"}) {
            const bool tga = extension[0] == 't';
            if (tga && bpp < 8) continue;
            for (int32_t flag : {-1, 1}) {
                const std::string name =
                    "ours-" + std::to_string(bpp) + (flag == 1 ? "-flag1." : ".") + extension;
                const std::string out = dir / name;
                FCImageHandle_Tga tgaCodec;
                FCImageHandle_Bmp bmpCodec;
                FCImageHandleBase& codec = tga ? static_cast<FCImageHandleBase&>(tgaCodec) : bmpCodec;
                codec.SaveList.push_back(&reduced);
                ASSERT_TRUE(codec.SaveFile(out.c_str(), flag)) << name;
                const std::string written = DataPath("reference/written/" + name);
                if (keep != nullptr) {
                    WriteFile(std::string(keep) + "/" + name, ReadFile(out));
                    continue;
                }
                EXPECT_TRUE(ReadFile(out) == ReadFile(written)) << name << " differs from " << written;
                const uint32_t bits[3] = {bpp == 16 ? 5u : 8u, bpp == 16 ? 5u : 8u, bpp == 16 ? 5u : 8u};
                ExpectPixelsLikeReference(written + ".rgb", reduced, bits);
            }
        }
    }
}
