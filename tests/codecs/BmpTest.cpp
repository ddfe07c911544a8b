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

// Top-down, run-length, core-header and 2-bit files are refused in the corpus test; these are
// the header cases no published file covers.
TEST(BmpReader, RefusesHeadersItCannotRead) {
    BmpSpec good;
    good.pixels.assign(16, 0x55);
    const std::vector<uint8_t> whole = MakeBmp(good);
    ASSERT_TRUE(Decode<FCImageHandle_Bmp>(whole));
    for (size_t n : {0, 14, 53})
        EXPECT_FALSE(Decode<FCImageHandle_Bmp>(std::vector<uint8_t>(whole.begin(), whole.begin() + n))) << n;
    std::vector<BmpSpec> bad(5, good);
    bad[0].bpp = 24, bad[0].compression = 3, bad[0].masks = {4, 2, 1};  // bit fields only at 16 and 32
    bad[1].width = 0;
    bad[2].width = 0x7FFFFFFF, bad[2].height = 1, bad[2].bpp = 32;  // a row of 8 GB
    bad[3].offBits = int64_t(whole.size());
    bad[4].bpp = 16, bad[4].compression = 3, bad[4].masks = {0xF800, 0x7E0};  // masks cut short
    bad[4].pixels = {1, 2, 3}, bad[4].offBits = 62;
    for (size_t i = 0; i < bad.size(); ++i) EXPECT_FALSE(Decode<FCImageHandle_Bmp>(MakeBmp(bad[i]))) << i;
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

// The file reader against the whole-file reader: plain files at odd widths read straight into the
// pixel block, files cut in the header, mid-row or just before a row's padding, and files that
// take the whole-file path. unfilled -1: refused; -2: only the two readers' agreement counts.
TEST(BmpReader, FileReaderAgreesWithMemoryAndCountsUnfilledRows) {
    struct Case {
        int32_t w, h;
        uint16_t bpp;
        uint32_t compression;
        std::vector<uint32_t> masks;
        int64_t pixelsKept, fileKept;  // -1: all
        int unfilled;
    };
    const Case cases[] = {
        {4001, 3, 24, 0, {}, -1, -1, 0},          {4001, 3, 24, 0, {}, 12004 + 5000, -1, 2},
        {3, 4, 24, 0, {}, 12 + 9, -1, 2},         {3, 4, 24, 0, {}, 12 + 8, -1, 3},
        {5, 3, 8, 0, {}, 1, -1, 3},               {33, 2, 1, 0, {}, -1, -1, 0},
        {7, 5, 16, 3, {0xF800, 0x7E0, 0x1F}, 30, -1, 3},
        {3, 2, 32, 3, {0xFF, 0xFF00, 0xFF0000}, 4, -1, 2},  // repacked: the whole-file path
        {3, -3, 24, 0, {}, -1, -1, -2},           {3, 2, 24, 0, {}, -1, 30, -1},
        {3, 2, 24, 0, {}, -1, 54, -1},            {3, 2, 24, 0, {}, -1, 55, 2},
    };
    ScratchDir dir;
    std::mt19937 rng(5);
    for (const Case& c : cases) {
        BmpSpec s;
        s.width = c.w, s.height = c.h, s.bpp = c.bpp, s.compression = c.compression, s.masks = c.masks;
        if (c.bpp <= 8)
            for (uint32_t i = 0; i < (1u << c.bpp); ++i) s.palette.push_back(rng() & 0xFFFFFF);
        const size_t stride = (size_t(c.w) * c.bpp + 31) / 32 * 4;
        s.pixels.resize(c.pixelsKept >= 0 ? size_t(c.pixelsKept) : stride * size_t(std::abs(c.h)));
        for (uint8_t& b : s.pixels) b = uint8_t(rng());
        std::vector<uint8_t> file = MakeBmp(s);
        if (c.fileKept >= 0) file.resize(size_t(c.fileKept));
        const std::string path = dir.File("cut.bmp");
        WriteFile(path, file);
        uint32_t unfilled = 99;
        const auto image = DecodeFileBothWays<FCImageHandle_Bmp>(path, &unfilled);
        const std::string where = std::to_string(c.w) + "x" + std::to_string(c.h) + "x" + std::to_string(c.bpp);
        if (c.unfilled == -2) continue;
        ASSERT_EQ(image != nullptr, c.unfilled >= 0) << where;
        if (image) {
            EXPECT_EQ(int(unfilled), c.unfilled) << where;
        }
    }
}
