// BMP codec: the bytes the writer produces per depth, round trips, and the reader's handling of
// hand-made headers, short files, minimal palettes and 32-bit bit fields.
#include <cstring>
#include <random>

#include "CodecTestSupport.h"
#include "ImageHandle_Bmp.h"

using namespace codectest;

namespace {

struct BmpSpec {
    int32_t width = 2;
    int32_t height = 2;
    uint16_t bpp = 24;
    uint32_t compression = 0;
    uint32_t infoSize = 40;
    std::vector<uint32_t> masks;    // written right after the 40-byte header
    std::vector<uint32_t> palette;  // 0x00RRGGBB words
    std::vector<uint8_t> pixels;
    int64_t offBits = -1;  // -1: right after the palette
};

std::vector<uint8_t> MakeBmp(const BmpSpec& s) {
    const uint32_t headerEnd = 14 + s.infoSize + 4 * uint32_t(s.masks.size() + s.palette.size());
    Bytes b;
    b.U8('B').U8('M').U32(0).U32(0).U32(s.offBits < 0 ? headerEnd : uint32_t(s.offBits));
    b.U32(s.infoSize).U32(s.width).U32(s.height).U16(1).U16(s.bpp).U32(s.compression);
    b.U32(0).U32(2835).U32(2835).U32(uint32_t(s.palette.size())).U32(0);
    b.Fill(s.infoSize - 40, 0);
    for (uint32_t m : s.masks) b.U32(m);
    for (uint32_t c : s.palette) b.U32(c);
    b.v.insert(b.v.end(), s.pixels.begin(), s.pixels.end());
    return b.v;
}

// An image whose every stored byte, padding included, is random but reproducible.
FCObjImage RandomImage(int32_t w, int32_t h, uint16_t bpp, bool bitFields = false) {
    FCBitmapInfoBlock block{};
    block.bmiHeader = {40, w, h, 1, bpp, bitFields ? 3u : 0u, 0, 3780, 2835, 0, 0};
    block.bmiMasks[0] = 0xF800, block.bmiMasks[1] = 0x07E0, block.bmiMasks[2] = 0x001F;
    FCObjImage image;
    EXPECT_TRUE(image.CreateFromHeader(&block.bmiHeader));
    std::mt19937 rng(bpp * 131 + w);
    for (int32_t i = 0; i < h * image.Stride(); ++i) image.PixelStore[i] = uint8_t(rng());
    if (bpp <= 8) {
        RGBQUAD palette[256];
        for (auto& e : palette) e = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), 0};
        image.SetPalette(palette, 256);
    }
    return image;
}

uint32_t U32At(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

std::vector<uint8_t> SaveBytes(const FCObjImage& image, const ScratchDir& dir) {
    FCImageHandle_Bmp codec;
    codec.SaveList.push_back(&image);
    EXPECT_TRUE(codec.SaveFile(dir.File("x.bmp").c_str(), -1));
    return ReadFile(dir.File("x.bmp"));
}

}  // namespace

TEST(BmpWriter, FileLayoutPerDepth) {
    struct Case {
        int32_t w, h;
        uint16_t bpp;
        bool bitFields;
        uint32_t offBits, size;
    };
    const Case cases[] = {{3, 2, 24, false, 54, 78},  {5, 3, 8, false, 1078, 1102}, {10, 1, 1, false, 62, 66},
                          {3, 3, 4, false, 118, 130}, {2, 2, 16, true, 66, 74},     {2, 2, 16, false, 54, 62},
                          {2, 2, 32, false, 54, 70}};
    ScratchDir dir;
    for (const Case& c : cases) {
        const FCObjImage image = RandomImage(c.w, c.h, c.bpp, c.bitFields);
        const std::vector<uint8_t> file = SaveBytes(image, dir);
        ASSERT_EQ(file.size(), c.size) << c.bpp;
        EXPECT_EQ(file[0], 'B');
        EXPECT_EQ(file[1], 'M');
        EXPECT_EQ(U32At(file, 2), c.size);
        EXPECT_EQ(U32At(file, 6), 0u);
        EXPECT_EQ(U32At(file, 10), c.offBits);
        EXPECT_EQ(U32At(file, 14), 40u);
        EXPECT_EQ(U32At(file, 30), c.bitFields ? 3u : 0u);
        if (c.bitFields) {
            EXPECT_EQ(U32At(file, 58), 0x07E0u);
        }
        EXPECT_EQ(0, std::memcmp(file.data() + c.offBits, image.PixelStore, c.size - c.offBits));
    }
}

TEST(BmpCodec, RoundTripKeepsHeaderMasksPaletteAndEveryByte) {
    ScratchDir dir;
    for (const auto& [bpp, bitFields] : std::vector<std::pair<uint16_t, bool>>{
             {1, false}, {4, false}, {8, false}, {16, false}, {16, true}, {24, false}, {32, false}}) {
        const FCObjImage image = RandomImage(13, 7, bpp, bitFields);
        const auto back = Decode<FCImageHandle_Bmp>(SaveBytes(image, dir));
        ASSERT_TRUE(back) << bpp;
        EXPECT_EQ(0, std::memcmp(&back->InfoHeader, &image.InfoHeader, sizeof(BITMAPINFOHEADER))) << bpp;
        EXPECT_EQ(0, std::memcmp(back->BitMasks, image.BitMasks, sizeof image.BitMasks)) << bpp;
        EXPECT_EQ(0, std::memcmp(back->PixelStore, image.PixelStore, size_t(7 * image.Stride()))) << bpp;
        if (bpp <= 8) {
            EXPECT_EQ(0, std::memcmp(back->Palette, image.Palette, 4u << bpp)) << bpp;
        }
    }
}

TEST(BmpReader, RefusesWhatItCannotRead) {
    BmpSpec good;
    good.pixels.assign(16, 0x55);
    ASSERT_TRUE(Decode<FCImageHandle_Bmp>(MakeBmp(good)));
    auto refused = [&](BmpSpec s, const char* why) {
        EXPECT_FALSE(Decode<FCImageHandle_Bmp>(MakeBmp(s))) << why;
    };
    BmpSpec s = good;
    s.height = -2, refused(s, "top-down");
    s = good, s.compression = 1, s.bpp = 8, refused(s, "RLE8");
    s = good, s.compression = 2, s.bpp = 4, refused(s, "RLE4");
    s = good, s.compression = 4, refused(s, "JPEG");
    for (uint16_t bpp : {1, 8, 24})
        s = good, s.bpp = bpp, s.compression = 3, s.masks = {4, 2, 1}, refused(s, "huffman");
    s = good, s.bpp = 2, refused(s, "2-bit");
    s = good, s.width = 0, refused(s, "no width");
    s = good, s.width = 3000000, s.height = 2000000, refused(s, "huge");
    s = good, s.width = 0x7FFFFFFF, s.height = 1, s.bpp = 32, refused(s, "row over 2 GB");
    s = good, s.offBits = 0xFFFFFFFF, refused(s, "offset past the end");
    s = good, s.offBits = int64_t(MakeBmp(good).size()), refused(s, "offset at the end");

    std::vector<uint8_t> core = MakeBmp(good);
    core[14] = 12;
    EXPECT_FALSE(Decode<FCImageHandle_Bmp>(core)) << "core header";
    core[14] = 16;
    EXPECT_FALSE(Decode<FCImageHandle_Bmp>(core)) << "OS/2 header";
    core[14] = 40, core[1] = 'A';
    EXPECT_FALSE(Decode<FCImageHandle_Bmp>(core)) << "BA";
    const std::vector<uint8_t> whole = MakeBmp(good);
    for (size_t n : {0, 14, 53})
        EXPECT_FALSE(Decode<FCImageHandle_Bmp>(std::vector<uint8_t>(whole.begin(), whole.begin() + n))) << n;
    s = good, s.bpp = 16, s.compression = 3, s.masks = {0xF800, 0x7E0, 0x1F};
    const std::vector<uint8_t> masked = MakeBmp(s);
    EXPECT_FALSE(Decode<FCImageHandle_Bmp>(std::vector<uint8_t>(masked.begin(), masked.begin() + 65)));
    FCImageHandle_Bmp codec;
    EXPECT_FALSE(codec.LoadMemory(nullptr, 100));
}

TEST(BmpReader, ShortPixelDataLeavesTheTopRowsBlack) {
    BmpSpec s;
    s.width = 3, s.height = 4;
    s.pixels.assign(2 * 12, 0xAB);  // the two bottom rows only
    const auto image = Decode<FCImageHandle_Bmp>(MakeBmp(s));
    ASSERT_TRUE(image);
    for (int y = 0; y < 4; ++y) EXPECT_EQ(image->RowTable[y][0], y < 2 ? 0 : 0xAB) << y;

    s.pixels = {0x11};  // offset one before the end: a single byte
    const auto one = Decode<FCImageHandle_Bmp>(MakeBmp(s));
    ASSERT_TRUE(one);
    EXPECT_EQ(one->RowTable[3][0], 0x11);
    EXPECT_EQ(one->RowTable[3][1], 0);
}

TEST(BmpReader, MinimalPaletteTakesOnlyEntriesInsideTheFile) {
    BmpSpec s;
    s.width = 4, s.height = 1, s.bpp = 8;
    s.palette = {0x00FF0000, 0x000000FF};
    s.pixels = {1, 0, 1, 0};
    const auto image = Decode<FCImageHandle_Bmp>(MakeBmp(s));
    ASSERT_TRUE(image);
    EXPECT_EQ(Rgb(*image), (std::vector<uint8_t>{0, 0, 255, 255, 0, 0, 0, 0, 255, 255, 0, 0}));
    // Entry 2 overlaps the pixel bytes; from entry 3 on the file has ended and grey remains.
    EXPECT_EQ(image->Palette[2].rgbBlue, 1);
    EXPECT_EQ(image->Palette[3].rgbRed, 3);
    EXPECT_EQ(image->Palette[200].rgbGreen, 200);

    std::vector<uint8_t> far = MakeBmp(BmpSpec{4, 1, 8, 0, 40, {}, {}, {9, 9, 9, 9}, 54});
    far[14] = far[15] = far[16] = far[17] = 0xFF;
    const auto grey = Decode<FCImageHandle_Bmp>(far);
    ASSERT_TRUE(grey);
    EXPECT_EQ(grey->Palette[9].rgbRed, 9);
}

TEST(BmpReader, BitFields32RepackByTheirMasksStandardOnesCopyAsTheyLie) {
    BmpSpec s;
    s.width = 2, s.height = 1, s.bpp = 32, s.compression = 3;
    s.pixels = {0x44, 0x33, 0x22, 0x11, 0xFF, 0xFF, 0xFF, 0xFF};
    s.masks = {0xFF000000, 0x00FF0000, 0x0000FF00};
    auto image = Decode<FCImageHandle_Bmp>(MakeBmp(s));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->InfoHeader.biCompression, 0u);
    EXPECT_EQ(image->GetPixelData(0, 0), 0x00112233u);
    EXPECT_EQ(image->GetPixelData(1, 0), 0x00FFFFFFu);

    // 10-bit channels keep their top 8 bits, 5-bit ones widen by a plain shift, none gives 0.
    s.masks = {0x3FF00000, 0x000003E0, 0};
    s.pixels = {0xE0, 0x03, 0xF0, 0x3F, 0x20, 0x00, 0x10, 0x00};
    image = Decode<FCImageHandle_Bmp>(MakeBmp(s));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->GetPixelData(0, 0), 0x00FFF800u);
    EXPECT_EQ(image->GetPixelData(1, 0), 0x00000800u);

    s.masks = {0x00FF0000, 0x0000FF00, 0x000000FF};
    s.pixels = {1, 2, 3, 4, 5, 6, 7, 8};
    image = Decode<FCImageHandle_Bmp>(MakeBmp(s));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->GetPixelData(0, 0), 0x04030201u);
}

TEST(BmpReader, SixteenBitMasksComeFromTheFileAndDefaultTo555) {
    BmpSpec s;
    s.width = 2, s.height = 1, s.bpp = 16, s.compression = 3, s.infoSize = 124;
    s.pixels = {0xFF, 0xFF, 0, 0};
    std::vector<uint8_t> v5 = MakeBmp(s);  // a V5 header keeps its masks inside, at 54
    v5[54] = 0x00, v5[55] = 0xF0, v5[58] = 0xF0, v5[59] = 0x0F, v5[62] = 0x0F;
    auto image = Decode<FCImageHandle_Bmp>(v5);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->BitMasks[0], 0xF000u);
    EXPECT_EQ(image->BitMasks[1], 0x0FF0u);
    EXPECT_EQ(image->BitMasks[2], 0x000Fu);
    EXPECT_EQ(image->InfoHeader.biCompression, 3u);
    s.infoSize = 40, s.masks = {0xF800, 0x07E0, 0x001F};
    image = Decode<FCImageHandle_Bmp>(MakeBmp(s));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->BitMasks[1], 0x07E0u);
    s.compression = 0, s.masks.clear();
    image = Decode<FCImageHandle_Bmp>(MakeBmp(s));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->BitMasks[1], 0x03E0u);
}
