// BMP codec: the bytes the writer produces per depth, round trips, and the reader's handling of
// hand-made headers, short files, minimal palettes, 32-bit bit fields, top-down and run-length files.
#include <cstring>

#include "CodecTestSupport.h"
#include "ImageHandle_Bmp.h"

using namespace codectest;

namespace {

struct BmpFields {
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

std::vector<uint8_t> MakeBmp(const BmpFields& s) {
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

uint32_t U32At(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

std::vector<uint8_t> SaveBytes(const FCObjImage& image, const ScratchDir& dir) {
    FCImageHandle_Bmp codec;
    codec.SaveList.push_back(&image);
    EXPECT_TRUE(codec.SaveFile((dir / "x.bmp").c_str(), -1));
    return ReadFile(dir / "x.bmp");
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

// Core-header and 2-bit files are refused in the corpus test; these are the header cases no
// published file covers.
TEST(BmpReader, RefusesHeadersItCannotRead) {
    BmpFields good;
    good.pixels.assign(16, 0x55);
    const std::vector<uint8_t> whole = MakeBmp(good);
    ASSERT_TRUE(Decode<FCImageHandle_Bmp>(whole));
    for (size_t n : {0, 14, 53})
        EXPECT_FALSE(Decode<FCImageHandle_Bmp>(std::vector<uint8_t>(whole.begin(), whole.begin() + n))) << n;
    std::vector<BmpFields> bad(5, good);
    bad[0].bpp = 24, bad[0].compression = 3, bad[0].masks = {4, 2, 1};  // bit fields only at 16 and 32
    bad[1].width = 0;
    bad[2].width = 0x7FFFFFFF, bad[2].height = 1, bad[2].bpp = 32;  // a row of 8 GB
    bad[3].offBits = int64_t(whole.size());
    bad[4].bpp = 16, bad[4].compression = 3, bad[4].masks = {0xF800, 0x7E0};  // masks cut short
    bad[4].pixels = {1, 2, 3}, bad[4].offBits = 62;
    bad.insert(bad.end(), 4, good);
    bad[5].bpp = 4, bad[5].compression = 1;                      // RLE8 only at 8 bits
    bad[6].bpp = 8, bad[6].compression = 2;                      // RLE4 only at 4 bits
    bad[7].bpp = 8, bad[7].compression = 1, bad[7].height = -2;  // no top-down run-length files
    bad[8].height = int32_t(0x80000000);
    bad.insert(bad.end(), 3, good);
    bad[9].compression = 4;  // an embedded JPEG
    bad[10].bpp = 2;
    bad[11].bpp = 7;
    bad.push_back(good);
    bad[12].bpp = 64;
    using S = LoadStatus;
    // Every refusal has its reason; a bit count the format does not have is a kind not read, not
    // a picture too large to hold.
    const S why[] = {S::Unsupported, S::Damaged,     S::OverPixelLimit, S::Damaged, S::Damaged,
                     S::Damaged,     S::Damaged,     S::Damaged,        S::Damaged, S::Unsupported,
                     S::Unsupported, S::Unsupported, S::Unsupported};
    for (size_t i = 0; i < bad.size(); ++i) {
        std::vector<uint8_t> file = MakeBmp(bad[i]);
        FCImageHandle_Bmp codec;
        EXPECT_FALSE(codec.LoadMemory(file.data(), int32_t(file.size()))) << i;
        EXPECT_EQ(codec.Result.Status, why[i]) << i;
        EXPECT_EQ(codec.Result.Detail.empty(), why[i] == S::OverPixelLimit) << i;
    }
    std::vector<uint8_t> core = whole;
    core[14] = 12;  // the OS/2 core header
    FCImageHandle_Bmp coreCodec;
    EXPECT_FALSE(coreCodec.LoadMemory(core.data(), int32_t(core.size())));
    EXPECT_EQ(coreCodec.Result.Status, LoadStatus::Unsupported);
    FCImageHandle_Bmp codec;
    EXPECT_FALSE(codec.LoadMemory(nullptr, 100));
}

TEST(BmpReader, ShortPixelDataLeavesTheTopRowsBlack) {
    BmpFields s;
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
    BmpFields s;
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

    std::vector<uint8_t> far = MakeBmp(BmpFields{4, 1, 8, 0, 40, {}, {}, {9, 9, 9, 9}, 54});
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
        {4001, 3, 24, 0, {}, -1, -1, 0},
        {4001, 3, 24, 0, {}, 12004 + 5000, -1, 2},
        {3, 4, 24, 0, {}, 12 + 9, -1, 2},
        {3, 4, 24, 0, {}, 12 + 8, -1, 3},
        {5, 3, 8, 0, {}, 1, -1, 3},
        {33, 2, 1, 0, {}, -1, -1, 0},
        {7, 5, 16, 3, {0xF800, 0x7E0, 0x1F}, 30, -1, 3},
        {3, 2, 32, 3, {0xFF, 0xFF00, 0xFF0000}, 4, -1, 2},  // repacked: the whole-file path
        {3, -3, 24, 0, {}, -1, -1, -2},
        {3, 2, 24, 0, {}, -1, 30, -1},
        {3, 2, 24, 0, {}, -1, 54, -1},
        {3, 2, 24, 0, {}, -1, 55, 2},
    };
    ScratchDir dir;
    std::mt19937 rng(5);
    for (const Case& c : cases) {
        BmpFields s;
        s.width = c.w, s.height = c.h, s.bpp = c.bpp, s.compression = c.compression, s.masks = c.masks;
        if (c.bpp <= 8)
            for (uint32_t i = 0; i < (1u << c.bpp); ++i) s.palette.push_back(rng() & 0xFFFFFF);
        const size_t stride = (size_t(c.w) * c.bpp + 31) / 32 * 4;
        s.pixels.resize(c.pixelsKept >= 0 ? size_t(c.pixelsKept) : stride * size_t(std::abs(c.h)));
        for (uint8_t& b : s.pixels) b = uint8_t(rng());
        std::vector<uint8_t> file = MakeBmp(s);
        if (c.fileKept >= 0) file.resize(size_t(c.fileKept));
        const std::string path = dir / "cut.bmp";
        WriteFile(path, file);
        uint32_t unfilled = 99;
        const auto image = DecodeFileBothWays<FCImageHandle_Bmp>(path, &unfilled);
        const std::string where =
            std::to_string(c.w) + "x" + std::to_string(c.h) + "x" + std::to_string(c.bpp);
        if (c.unfilled == -2) continue;
        ASSERT_EQ(image != nullptr, c.unfilled >= 0) << where;
        if (image) {
            EXPECT_EQ(int(unfilled), c.unfilled) << where;
        }
    }
}

namespace {

// Palette indices of an 8- or 4-bit image, bottom row first as the file stores them.
std::vector<uint8_t> Indices(const FCObjImage& image) {
    std::vector<uint8_t> out;
    const int32_t h = image.InfoHeader.biHeight;
    for (int32_t y = h - 1; y >= 0; --y)
        for (int32_t x = 0; x < image.InfoHeader.biWidth; ++x) {
            const uint8_t* row = image.RowTable[y];
            out.push_back(image.InfoHeader.biBitCount == 8 ? row[x] : (row[x / 2] >> (x % 2 ? 0 : 4)) & 15);
        }
    return out;
}

}  // namespace

// Pixels the file skips (delta, early end of line or bitmap, a cut file) keep index 0; runs and
// literals reaching past the row's end are clipped there, never carried on.
TEST(BmpReader, RunLengthEscapesSkipsAndClipping) {
    struct Case {
        const char* what;
        int32_t w, h;
        uint16_t bpp;
        std::vector<uint8_t> data;
        std::vector<uint8_t> indices;  // bottom row first
        uint32_t incompleteRows;
    };
    const Case cases[] = {
        {"run, end of line, literal",
         4,
         2,
         8,
         {3, 5, 0, 0, 0, 4, 1, 2, 3, 4, 0, 1},
         {5, 5, 5, 0, 1, 2, 3, 4},
         0},
        {"odd literal is padded", 3, 2, 8, {0, 3, 7, 8, 9, 0, 0, 0, 2, 6, 0, 1}, {7, 8, 9, 6, 6, 0}, 0},
        {"delta skips", 3, 3, 8, {1, 7, 0, 2, 1, 1, 1, 9, 0, 1}, {7, 0, 0, 0, 0, 9, 0, 0, 0}, 0},
        {"early end of bitmap", 2, 3, 8, {2, 4, 0, 1, 2, 5}, {4, 4, 0, 0, 0, 0}, 0},
        {"run clipped at the row end", 3, 2, 8, {5, 7, 0, 0, 1, 8, 0, 1}, {7, 7, 7, 8, 0, 0}, 0},
        {"literal clipped", 2, 2, 8, {0, 3, 1, 2, 3, 0, 0, 0, 1, 4, 0, 1}, {1, 2, 4, 0}, 0},
        {"delta past the top", 2, 2, 8, {1, 3, 0, 2, 0, 9, 1, 5, 0, 1}, {3, 0, 0, 0}, 0},
        {"delta past the row end", 2, 2, 8, {0, 2, 9, 0, 1, 5, 0, 0, 1, 6, 0, 1}, {0, 0, 6, 0}, 0},
        {"cut after a row", 2, 3, 8, {2, 5, 0, 0}, {5, 5, 0, 0, 0, 0}, 2},
        {"cut inside a literal", 4, 2, 8, {0, 4, 1, 2}, {1, 2, 0, 0, 0, 0, 0, 0}, 2},
        {"cut inside a delta", 2, 2, 8, {1, 3, 0, 2, 1}, {3, 0, 0, 0}, 2},
        {"no data at all", 2, 2, 8, {}, {0, 0, 0, 0}, 2},
        {"full without end of bitmap", 1, 1, 8, {1, 3, 0, 0}, {3}, 0},
        {"4-bit run alternates nibbles", 5, 1, 4, {5, 0x12, 0, 1}, {1, 2, 1, 2, 1}, 0},
        {"4-bit literal",
         5,
         2,
         4,
         {0, 3, 0x34, 0x50, 0, 0, 2, 0xAB, 0, 1},
         {3, 4, 5, 0, 0, 10, 11, 0, 0, 0},
         0},
        {"4-bit odd literal bytes padded",
         4,
         2,
         4,
         {0, 5, 0x12, 0x34, 0x50, 0, 0, 0, 1, 0xCC, 0, 1},
         {1, 2, 3, 4, 12, 0, 0, 0},
         0},
        {"4-bit run clipped", 3, 1, 4, {9, 0x12, 0, 1}, {1, 2, 1}, 0},
    };
    for (const Case& c : cases) {
        BmpFields s;
        s.width = c.w, s.height = c.h, s.bpp = c.bpp, s.compression = c.bpp == 8 ? 1 : 2;
        s.palette.assign(size_t(1) << c.bpp, 0);
        s.pixels = c.data;
        std::vector<uint8_t> file = MakeBmp(s);
        if (c.data.empty()) file.push_back(0);  // the offset must point inside the file
        FCImageHandle_Bmp codec;
        ASSERT_TRUE(codec.LoadMemory(file.data(), int32_t(file.size()))) << c.what;
        std::deque<FCObjImage*> list;
        codec.GetImageList(list, false);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list.front()->InfoHeader.biBitCount, c.bpp) << c.what;
        EXPECT_EQ(Indices(*list.front()), c.indices) << c.what;
        EXPECT_EQ(codec.Result.IncompleteRows, c.incompleteRows) << c.what;
    }
}

// Red alone in 5-6-5 bit fields: each 5-bit value widens by a plain shift (31 is 248, not 255),
// and no red leaks into green or blue.
TEST(BmpReader, RedOnlyFiveSixFiveWidensByAShift) {
    BmpFields fields;
    fields.width = 4, fields.height = 1, fields.bpp = 16, fields.compression = 3;
    fields.masks = {0xF800, 0x07E0, 0x001F};
    for (uint32_t red : {31, 16, 1, 0}) fields.pixels.insert(fields.pixels.end(), {0x00, uint8_t(red << 3)});
    const auto image = Decode<FCImageHandle_Bmp>(MakeBmp(fields));
    ASSERT_TRUE(image);
    EXPECT_EQ(Rgb(*image), (std::vector<uint8_t>{248, 0, 0, 128, 0, 0, 8, 0, 0, 0, 0, 0}));
}

TEST(BmpReader, TopDownFileHasThePixelsOfItsBottomUpTwin) {
    ScratchDir dir;
    for (const auto& [bpp, bitFields] : std::vector<std::pair<uint16_t, bool>>{
             {1, false}, {4, false}, {8, false}, {16, true}, {24, false}, {32, false}}) {
        const FCObjImage image = RandomImage(5, 4, bpp, bitFields);
        std::vector<uint8_t> file = SaveBytes(image, dir);
        const size_t offBits = U32At(file, 10), stride = size_t(image.Stride());
        std::vector<uint8_t> flipped(file.begin(), file.begin() + offBits);
        for (int32_t y = 0; y < 4; ++y) {  // file row 0 is now the top row
            const auto row = file.begin() + offBits + (3 - y) * stride;
            flipped.insert(flipped.end(), row, row + stride);
        }
        flipped[22] = 0xFC, flipped[23] = flipped[24] = flipped[25] = 0xFF;  // height -4
        FCImageHandle_Bmp codec;
        ASSERT_TRUE(codec.LoadMemory(flipped.data(), int32_t(flipped.size()))) << bpp;
        std::deque<FCObjImage*> list;
        codec.GetImageList(list, false);
        EXPECT_EQ(list.front()->InfoHeader.biHeight, 4);
        EXPECT_EQ(0, std::memcmp(list.front()->PixelStore, image.PixelStore, 4 * stride)) << bpp;
        EXPECT_EQ(codec.Result.IncompleteRows, 0u);
        // Cut after one and a half rows: the top row is there, the rows below the cut stay black.
        flipped.resize(offBits + stride + stride / 2);
        FCImageHandle_Bmp cut;
        ASSERT_TRUE(cut.LoadMemory(flipped.data(), int32_t(flipped.size()))) << bpp;
        cut.GetImageList(list, false);
        EXPECT_EQ(0, std::memcmp(list.front()->RowTable[0], image.RowTable[0], stride)) << bpp;
        EXPECT_EQ(std::vector<uint8_t>(list.front()->RowTable[2], list.front()->RowTable[2] + stride),
                  std::vector<uint8_t>(stride, 0));
        EXPECT_EQ(cut.Result.IncompleteRows, 3u) << bpp;
    }
    EXPECT_EQ(Rgb(*Decode<FCImageHandle_Bmp>(ReadFile(DataPath("bmp/bmpsuite/g/pal8topdown.bmp")))),
              Rgb(*Decode<FCImageHandle_Bmp>(ReadFile(DataPath("bmp/bmpsuite/g/pal8.bmp")))));
}
