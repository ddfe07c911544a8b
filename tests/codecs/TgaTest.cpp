// TGA codec: the writer's exact bytes, round trips raw and run-length, the reader's row order,
// colour maps, grey files and short files, and the run-length line coder on its own.
#include <cstring>
#include <random>

#include "CodecTestSupport.h"
#include "ImageHandle_Tga.h"

using namespace codectest;

namespace {

struct TgaFields {
    uint8_t mapType = 0, imageType = 2;
    uint16_t mapFirst = 0, mapLength = 0;
    uint8_t mapEntryBits = 0;
    uint16_t width = 2, height = 2;
    uint8_t depth = 24, descriptor = 0x20;
    std::vector<uint8_t> id, map, pixels;
};

std::vector<uint8_t> MakeTga(const TgaFields& s) {
    Bytes b;
    b.U8(s.id.size()).U8(s.mapType).U8(s.imageType).U16(s.mapFirst).U16(s.mapLength).U8(s.mapEntryBits);
    b.U32(0).U16(s.width).U16(s.height).U8(s.depth).U8(s.descriptor);
    for (const auto* part : {&s.id, &s.map, &s.pixels}) b.v.insert(b.v.end(), part->begin(), part->end());
    return b.v;
}

bool SaveTo(const FCObjImage& image, int32_t flag, const std::string& path) {
    FCImageHandle_Tga codec;
    codec.SaveList.push_back(&image);
    return codec.SaveFile(path.c_str(), flag);
}

std::vector<uint8_t> Save(const FCObjImage& image, int32_t flag, const ScratchDir& dir) {
    EXPECT_TRUE(SaveTo(image, flag, dir / "x.tga"));
    return ReadFile(dir / "x.tga");
}

FCObjImage Pattern(int32_t w, int32_t h, uint16_t bpp) {
    FCObjImage image;
    EXPECT_TRUE(image.Create(w, h, bpp));
    const size_t rowBytes = size_t(w) * bpp / 8;
    for (int32_t y = 0; y < h; ++y)
        for (size_t i = 0; i < rowBytes; ++i) image.RowTable[y][i] = uint8_t(i / 7 * 31 + y * 5);
    if (bpp == 8) {
        RGBQUAD palette[256];
        for (int i = 0; i < 256; ++i) palette[i] = {uint8_t(i), uint8_t(255 - i), uint8_t(i * 3), 0};
        image.SetPalette(palette, 256);
    }
    return image;
}

}  // namespace

TEST(TgaWriter, HeaderIdAndMapBytes) {
    ScratchDir dir;
    const std::vector<uint8_t> file = Save(Pattern(2, 2, 24), -1, dir);
    ASSERT_EQ(file.size(), 42u);
    EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 18),
              (std::vector<uint8_t>{12, 0, 2, 0, 0, 0, 1, 24, 0, 0, 0, 0, 2, 0, 2, 0, 24, 32}));
    EXPECT_EQ(std::string(file.begin() + 18, file.begin() + 30), "Kivra -- TGA");

    const FCObjImage grey = Pattern(3, 1, 8);
    const std::vector<uint8_t> mapped = Save(grey, -1, dir);
    ASSERT_EQ(mapped.size(), 18u + 12 + 768 + 3);
    EXPECT_EQ(mapped[1], 1);
    EXPECT_EQ(mapped[2], 1);
    EXPECT_EQ(mapped[30 + 3 * 200 + 1], 55);  // entry 200, green
    EXPECT_EQ(Save(grey, 1, dir)[2], 9);
    EXPECT_EQ(Save(Pattern(2, 2, 32), 1, dir)[2], 10);
}

TEST(TgaWriter, RefusesDepthsSizesAndFlagsItCannotWriteWithoutCreatingAFile) {
    ScratchDir dir;
    FCObjImage wide, tall, empty;
    ASSERT_TRUE(wide.Create(65536, 1, 8));
    ASSERT_TRUE(tall.Create(1, 65536, 8));
    const std::string path = dir / "x.tga";
    for (const FCObjImage* image : {&wide, &tall, &empty}) EXPECT_FALSE(SaveTo(*image, -1, path));
    for (uint16_t bpp : {1, 4}) EXPECT_FALSE(SaveTo(Pattern(4, 4, bpp), -1, path)) << bpp;
    EXPECT_FALSE(SaveTo(Pattern(4, 4, 24), 0, path));
    EXPECT_EQ(dir.EntryCount(), 0u);
    FCImageHandle_Tga codec;
    EXPECT_FALSE(codec.SaveFile((dir / "x.tga").c_str(), -1));
}

TEST(TgaCodec, RoundTripRawAndRunLengthAtEveryWritableDepth) {
    ScratchDir dir;
    for (uint16_t bpp : {8, 16, 24, 32}) {
        FCObjImage image = Pattern(131, 9, bpp);
        if (bpp == 16) image.BitMasks[1] = 0x07E0;  // 5-6-5 words are stored as they are
        for (int32_t flag : {-1, 1}) {
            const auto back = Decode<FCImageHandle_Tga>(Save(image, flag, dir));
            ASSERT_TRUE(back) << bpp << " " << flag;
            EXPECT_EQ(back->InfoHeader.biBitCount, bpp);
            EXPECT_EQ(0, std::memcmp(back->PixelStore, image.PixelStore, size_t(9 * image.Stride())))
                << bpp << " " << flag;
            if (bpp == 8) {
                EXPECT_EQ(0, std::memcmp(back->Palette, image.Palette, 1024));
            }
        }
    }
}

TEST(TgaReader, ColourMapsAndGreyFiles) {
    TgaFields s;
    s.mapType = 1, s.imageType = 1, s.mapFirst = 0, s.mapLength = 16, s.mapEntryBits = 24, s.depth = 8;
    s.map.assign(48, 0x40), s.pixels = {0, 1, 2, 3};
    auto image = Decode<FCImageHandle_Tga>(MakeTga(s));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->Palette[15].rgbRed, 0x40);
    EXPECT_EQ(image->Palette[16].rgbRed, 0);  // not given: black, not grey
    EXPECT_EQ(image->Palette[255].rgbGreen, 0);

    s.mapFirst = 250, s.mapLength = 7;  // past entry 255
    EXPECT_FALSE(Decode<FCImageHandle_Tga>(MakeTga(s)));
    s.mapFirst = 0, s.mapLength = 256, s.map.assign(767, 1), s.pixels.clear();  // map cut short
    EXPECT_FALSE(Decode<FCImageHandle_Tga>(MakeTga(s)));

    // A 24-bit file with a map: the map is skipped, the rows come after it.
    s.imageType = 2, s.depth = 24, s.width = 1, s.height = 1, s.map.assign(768, 1), s.pixels = {7, 8, 9};
    image = Decode<FCImageHandle_Tga>(MakeTga(s));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->GetPixelData(0, 0), 0x090807u);
    // Without a map, its fields change nothing, whatever they hold, and no map bytes are skipped.
    for (uint8_t bits : {15, 16}) {
        s.mapType = 0, s.mapEntryBits = bits;
        image = Decode<FCImageHandle_Tga>(MakeTga(s));
        ASSERT_TRUE(image) << int(bits);
        EXPECT_EQ(image->GetPixelData(0, 0), 0x010101u) << int(bits);
    }

    TgaFields grey;
    grey.imageType = 3, grey.depth = 8, grey.width = 2, grey.height = 1, grey.pixels = {10, 200};
    image = Decode<FCImageHandle_Tga>(MakeTga(grey));
    ASSERT_TRUE(image);
    EXPECT_EQ(Rgb(*image), (std::vector<uint8_t>{10, 10, 10, 200, 200, 200}));

    // Grey plus alpha, raw and run-length: 8-bit grey, alpha dropped.
    grey.depth = 16, grey.pixels = {10, 0xFF, 200, 0x01};
    for (uint8_t type : {3, 11}) {
        grey.imageType = type;
        if (type == 11) grey.pixels = {0x81, 77, 0x33};
        image = Decode<FCImageHandle_Tga>(MakeTga(grey));
        ASSERT_TRUE(image);
        EXPECT_EQ(image->InfoHeader.biBitCount, 8);
        EXPECT_EQ(Rgb(*image)[3], type == 3 ? 200 : 77);
        EXPECT_EQ(image->Palette[33].rgbBlue, 33);
    }
}

// Sub-byte rows end on a whole byte, so an odd width neither loses pixels nor shifts later rows;
// stored right to left, the same rows take the bits in the other order, padding still last.
TEST(TgaReader, OneBitRowsOfOddWidthEndOnAWholeByte) {
    TgaFields s;
    s.imageType = 3, s.depth = 1, s.width = 5, s.height = 2;
    for (const auto& [descriptor, pixels] :
         {std::pair<uint8_t, std::vector<uint8_t>>{0x20, {0xA0, 0x50}}, {0x30, {0x2F, 0x57}}}) {
        s.descriptor = descriptor, s.pixels = pixels;
        ScratchDir dir;
        WriteFile(dir / "one.tga", MakeTga(s));
        const auto image = DecodeFileBothWays<FCImageHandle_Tga>(dir / "one.tga");
        ASSERT_TRUE(image);
        std::vector<uint32_t> bits;
        for (int32_t y = 0; y < 2; ++y)
            for (int32_t x = 0; x < 5; ++x) bits.push_back(image->GetPixelData(x, y));
        EXPECT_EQ(bits, (std::vector<uint32_t>{1, 0, 1, 0, 0, 0, 1, 0, 1, 0})) << int(descriptor);
    }
}

TEST(TgaReader, FifteenBitsLoadAsSixteenWithTheTopBitKept) {
    TgaFields s;
    s.depth = 15, s.width = 1, s.height = 1, s.pixels = {0xFF, 0xFF};
    const auto image = Decode<FCImageHandle_Tga>(MakeTga(s));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->InfoHeader.biBitCount, 16);
    EXPECT_EQ(image->BitMasks[1], 0x03E0u);
    EXPECT_EQ(image->GetPixelData(0, 0), 0xFFFFu);
}

TEST(TgaReader, ShortFilesAndHugeSizes) {
    TgaFields s;
    s.id.assign(30, 'x'), s.pixels = {1, 2, 3, 4, 5, 6, 7};  // rows cut short keep zeros
    auto image = Decode<FCImageHandle_Tga>(MakeTga(s));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->GetPixelData(0, 1), 0x000007u);
    EXPECT_EQ(image->GetPixelData(1, 1), 0u);
    s.pixels.clear(), s.id.resize(29);
    std::vector<uint8_t> noId = MakeTga(s);
    noId[0] = 30;  // the ID runs past the end
    EXPECT_FALSE(Decode<FCImageHandle_Tga>(noId));
    for (size_t n = 0; n < 18; ++n) EXPECT_FALSE(Decode<FCImageHandle_Tga>(std::vector<uint8_t>(n, 0)));

    s.id.clear(), s.width = 65535, s.height = 65535, s.depth = 32;
    EXPECT_FALSE(Decode<FCImageHandle_Tga>(MakeTga(s)));
    s.width = 0;
    EXPECT_FALSE(Decode<FCImageHandle_Tga>(MakeTga(s)));
    s.width = 2, s.depth = 64;
    EXPECT_FALSE(Decode<FCImageHandle_Tga>(MakeTga(s)));
}

// Only the image types, map types and depths the format defines are read; every refusal says why.
TEST(TgaReader, HeadersOutsideTheFormatAreRefused) {
    struct Row {
        const char* name;
        uint8_t mapType, imageType;
        uint16_t mapLength;
        uint8_t mapEntryBits, depth;
        bool loads;
        LoadStatus status;
    };
    using S = LoadStatus;
    const Row rows[] = {
        {"type 0, no image data", 0, 0, 0, 0, 24, false, S::Unsupported},
        {"type 5, undefined", 0, 5, 0, 0, 24, false, S::Unsupported},
        {"type 32, Huffman", 0, 32, 0, 0, 24, false, S::Unsupported},
        {"colour map type 7", 7, 2, 0, 0, 24, false, S::Damaged},
        {"no map, map length 200", 0, 2, 200, 24, 24, true, S::Loaded},
        {"grey at 32 bits", 0, 3, 0, 0, 32, false, S::Damaged},
        {"true colour at 8 bits", 0, 2, 0, 0, 8, false, S::Damaged},
        {"colour-mapped without a map", 0, 1, 0, 0, 8, false, S::Damaged},
        {"colour-mapped at 16 bits", 1, 1, 256, 24, 16, false, S::Damaged},
        {"run-length grey at 1 bit", 0, 11, 0, 0, 1, false, S::Damaged},
        {"16-bit map entries", 1, 1, 256, 16, 8, false, S::Unsupported},
        {"map entries of 8 bits", 1, 1, 256, 8, 8, false, S::Damaged},
        {"the map fields this writer puts in", 0, 2, 256, 24, 24, true, S::Loaded},
        {"true colour with a map, skipped", 1, 10, 256, 32, 32, true, S::Loaded},
    };
    for (const Row& r : rows) {
        TgaFields s;
        s.mapType = r.mapType, s.imageType = r.imageType, s.mapLength = r.mapLength;
        s.mapEntryBits = r.mapEntryBits, s.depth = r.depth;
        if (r.mapType == 1) s.map.assign(size_t(r.mapLength) * (r.mapEntryBits == 32 ? 4 : 3), 1);
        s.pixels.assign(64, 0x80);
        const std::vector<uint8_t> file = MakeTga(s);
        FCImageHandle_Tga codec;
        FCObjImage image;
        EXPECT_EQ(
            codec.LoadMemory(file.data(), int32_t(file.size())) && TakeDecodedPicture(codec, image, nullptr),
            r.loads)
            << r.name;
        EXPECT_EQ(codec.Result.Status, r.status) << r.name;
        EXPECT_EQ(codec.Result.Detail.empty(), r.loads) << r.name;
    }
}

TEST(TgaRle, DecodeRunsLiteralsAndPacketsThatCrossTheRow) {
    FCImageHandle_Tga::RlePending pending;
    const std::vector<uint8_t> run = {0x83, 1, 2, 3};
    uint8_t row[4 * 3 + 2];
    std::memset(row, 0xEE, sizeof row);
    const uint8_t* end = run.data() + run.size();
    EXPECT_EQ(FCImageHandle_Tga::RleDecodeLine(24, run.data(), end, row, 4, pending), end);
    EXPECT_EQ(std::vector<uint8_t>(row, row + 14),
              (std::vector<uint8_t>{1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3, 0xEE, 0xEE}));

    // A run of 128 and a literal of 3 crossing rows of 5: the rest carries over, nothing spills.
    const std::vector<uint8_t> packets = {0xFF, 9, 0x02, 1, 2, 3};
    uint8_t line[6];
    const uint8_t* pos = packets.data();
    std::vector<uint8_t> all;
    for (int y = 0; y < 27; ++y) {
        std::memset(line, 0xEE, sizeof line);
        pos = FCImageHandle_Tga::RleDecodeLine(8, pos, packets.data() + packets.size(), line, 5, pending);
        EXPECT_EQ(line[5], 0xEE);
        all.insert(all.end(), line, line + 5);
    }
    EXPECT_EQ(std::vector<uint8_t>(all.begin() + 125, all.begin() + 132),
              (std::vector<uint8_t>{9, 9, 9, 1, 2, 3, 0xEE}));

    // The source ends inside a literal and inside a run's pixel: decoding stops at the end.
    const std::vector<uint8_t> cut = {0x05, 1, 2, 0x80};
    FCImageHandle_Tga::RlePending fresh;
    std::memset(line, 0, sizeof line);
    EXPECT_EQ(FCImageHandle_Tga::RleDecodeLine(16, cut.data(), cut.data() + 4, line, 3, fresh),
              cut.data() + 3);
}

TEST(TgaRle, EncodeWritesRunPacketsOnly) {
    std::vector<uint8_t> row(200 * 3, 5), out(2 * row.size() + 4096);
    uint8_t* end = FCImageHandle_Tga::RleEncodeLine(24, row.data(), 200, out.data());
    EXPECT_EQ(std::vector<uint8_t>(out.data(), end), (std::vector<uint8_t>{0xFF, 5, 5, 5, 0xC7, 5, 5, 5}));
    for (size_t i = 0; i < 4; ++i) row[i] = uint8_t(i);
    end = FCImageHandle_Tga::RleEncodeLine(8, row.data(), 4, out.data());
    EXPECT_EQ(std::vector<uint8_t>(out.data(), end),
              (std::vector<uint8_t>{0x80, 0, 0x80, 1, 0x80, 2, 0x80, 3}));
}

// The file reader against the whole-file reader. Raw files read many rows per call (more rows
// than one call takes here); run-length files go through a bounded window, so the packets here
// (literals and runs of 1 to 128 pixels, crossing rows) fall across its edge at every kind of
// place, and one 32-bit row of literals is longer than the window. Files are cut in the head,
// mid-row and mid-packet. unfilled -1: refused; -2: only agreement and a partial count matter.
TEST(TgaReader, FileReaderAgreesWithMemoryAndCountsUnfilledRows) {
    struct Case {
        uint8_t imageType;
        uint16_t width, height;
        uint8_t depth, descriptor;
        bool literalsOnly;
        int64_t pixelsKept, fileKept;  // -1: all
        int unfilled;
    };
    const Case cases[] = {
        {2, 7, 300, 24, 0x00, false, -1, -1, 0},     {2, 7, 300, 24, 0x20, false, 21 * 270 + 5, -1, 30},
        {3, 5, 3, 8, 0x00, false, 7, -1, 2},         {3, 5, 3, 16, 0x20, false, 12, -1, 2},  // grey + alpha
        {10, 5001, 40, 24, 0x00, false, -1, -1, 0},  {10, 5001, 40, 24, 0x20, false, 300000, -1, -2},
        {10, 65535, 2, 32, 0x20, true, -1, -1, 0},   {10, 65535, 2, 32, 0x20, true, 200000, -1, 2},
        {11, 9, 4, 16, 0x00, false, -1, -1, 0},      {11, 13, 50, 8, 0x20, false, 333, -1, -2},
        {10, 3, 3, 15, 0x00, false, -1, -1, 0},      {2, 3, 3, 24, 0x20, false, -1, 10, -1},
        {1, 3, 3, 8, 0x20, false, -1, 18 + 100, -1},  // cut in the colour map
    };
    ScratchDir dir;
    std::mt19937 rng(9);
    for (const Case& c : cases) {
        TgaFields s;
        s.imageType = c.imageType, s.width = c.width, s.height = c.height, s.depth = c.depth;
        s.descriptor = c.descriptor;
        if (c.imageType == 1) s.mapType = 1, s.mapLength = 256, s.mapEntryBits = 24, s.map.assign(768, 7);
        const size_t pixelBytes = (c.depth + 7) / 8, pixels = size_t(c.width) * c.height;
        if (c.imageType < 9) {
            s.pixels.resize(pixels * c.depth / 8);
            for (uint8_t& b : s.pixels) b = uint8_t(rng());
        }
        for (size_t done = 0; c.imageType >= 9 && done < pixels;) {
            const size_t n = std::min<size_t>(1 + rng() % 128, pixels - done);
            const bool run = !c.literalsOnly && rng() % 2 == 0;
            s.pixels.push_back(uint8_t((run ? 0x80 : 0) | (n - 1)));
            for (size_t i = 0; i < (run ? 1 : n) * pixelBytes; ++i) s.pixels.push_back(uint8_t(rng()));
            done += n;
        }
        if (c.pixelsKept >= 0) s.pixels.resize(size_t(c.pixelsKept));
        std::vector<uint8_t> file = MakeTga(s);
        if (c.fileKept >= 0) file.resize(size_t(c.fileKept));
        const std::string path = dir / "cut.tga";
        WriteFile(path, file);
        uint32_t unfilled = 99;
        const auto image = DecodeFileBothWays<FCImageHandle_Tga>(path, &unfilled);
        const std::string where = std::to_string(c.imageType) + " " + std::to_string(c.width);
        ASSERT_EQ(image != nullptr, c.unfilled != -1) << where;
        if (c.unfilled == -2) {
            EXPECT_GT(unfilled, 0u) << where;
            EXPECT_LT(unfilled, c.height) << where;
        } else if (image) {
            EXPECT_EQ(int(unfilled), c.unfilled) << where;
        }
    }
}
