// PNM codec: every form read from bytes spelled here, the refusals and their reasons, short data,
// and a round trip through each writer with its exact header.
#include <fcntl.h>

#include "ByteSource.h"
#include "CodecTestSupport.h"
#include "ImageHandle_Pnm.h"

using namespace codectest;

namespace {

struct PnmCase {
    const char* name;
    std::string bytes;
    LoadStatus status;
    std::vector<uint8_t> rgb;  // top row first; for loaded files
    uint32_t incompleteRows;
};

std::string Raw(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s.push_back(char(b));
    return s;
}

// Through a file source whose 3-byte window splits every header and sample somewhere.
LoadResult LoadPnm(const std::string& bytes, std::vector<uint8_t>& rgb) {
    ScratchDir dir;
    const std::string path = dir / "x.pnm";
    WriteFile(path, std::vector<uint8_t>(bytes.begin(), bytes.end()));
    const int fd = open(path.c_str(), O_RDONLY);
    ByteSource source(fd, bytes.size(), 3);
    FCImageHandle_Pnm codec;
    FCObjImage image;
    if (codec.LoadSource(source) && TakeDecodedPicture(codec, image, nullptr)) rgb = Rgb(image);
    close(fd);
    return codec.Result;
}

}  // namespace

TEST(PnmReader, EveryFormTheRefusalsAndShortData) {
    const std::vector<uint8_t> redGreen = {255, 0, 0, 0, 255, 0};
    const PnmCase cases[] = {
        {"P1 with comments, digits run together",
         "P1\n# c\n2 # w\n2\n10\n0 1",
         LoadStatus::Loaded,
         {0, 0, 0, 255, 255, 255, 255, 255, 255, 0, 0, 0},
         0},
        {"P4, 1 is black",
         "P4 3 1\n" + Raw({0xA0}),
         LoadStatus::Loaded,
         {0, 0, 0, 255, 255, 255, 0, 0, 0},
         0},
        {"P2 maxval 4 rounds",
         "P2 3 1 4\n0 1 2",
         LoadStatus::Loaded,
         {0, 0, 0, 64, 64, 64, 128, 128, 128},
         0},
        {"P5", "P5 2 1 255\n" + Raw({7, 200}), LoadStatus::Loaded, {7, 7, 7, 200, 200, 200}, 0},
        {"P5 two-byte samples", "P5 1 1 65535\n" + Raw({0x80, 0x00}), LoadStatus::Loaded, {128, 128, 128}, 0},
        {"P3", "P3 2 1 255 255 0 0 0 255 0", LoadStatus::Loaded, redGreen, 0},
        {"P6", "P6\n2 1\n255\n" + Raw({255, 0, 0, 0, 255, 0}), LoadStatus::Loaded, redGreen, 0},
        {"P6 maxval 1000",
         "P6 1 1 1000\n" + Raw({0x03, 0xE8, 0, 0, 0x01, 0xF4}),
         LoadStatus::Loaded,
         {255, 0, 128},
         0},
        {"P7 RGB_ALPHA",
         "P7\nWIDTH 2\nHEIGHT 1\n# c\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n" +
             Raw({255, 0, 0, 9, 0, 255, 0, 9}),
         LoadStatus::Loaded, redGreen, 0},
        {"P7 BLACKANDWHITE",
         "P7 WIDTH 2 HEIGHT 1 DEPTH 1 MAXVAL 1 TUPLTYPE BLACKANDWHITE ENDHDR\n" + Raw({0, 1}),
         LoadStatus::Loaded,
         {0, 0, 0, 255, 255, 255},
         0},
        {"P7 GRAYSCALE_ALPHA",
         "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 2\nMAXVAL 255\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\n" + Raw({9, 0}),
         LoadStatus::Loaded,
         {9, 9, 9},
         0},
        {"second image ignored",
         "P5 1 1 255\n" + Raw({5}) + "P5 1 1 255\n" + Raw({6}),
         LoadStatus::Loaded,
         {5, 5, 5},
         0},
        {"raw rows end early",
         "P6 1 3 255\n" + Raw({1, 2, 3, 4}),
         LoadStatus::Loaded,
         {1, 2, 3, 0, 0, 0, 0, 0, 0},
         2},
        {"plain rows end early", "P2 1 2 255\n9", LoadStatus::Loaded, {9, 9, 9, 0, 0, 0}, 1},
        {"maxval 0", "P5 1 1 0\n" + Raw({0}), LoadStatus::Damaged, {}, 0},
        {"maxval 65536", "P5 1 1 65536\n" + Raw({0, 0}), LoadStatus::Damaged, {}, 0},
        {"width 0", "P5 0 1 255\n", LoadStatus::Damaged, {}, 0},
        {"width past 32 bits", "P5 99999999999 1 255\n", LoadStatus::Damaged, {}, 0},
        {"PAM depth for another tuple",
         "P7 WIDTH 1 HEIGHT 1 DEPTH 3 MAXVAL 255 TUPLTYPE GRAYSCALE ENDHDR\n" + Raw({0, 0, 0}),
         LoadStatus::Damaged,
         {},
         0},
        {"unknown tuple type",
         "P7 WIDTH 1 HEIGHT 1 DEPTH 4 MAXVAL 255 TUPLTYPE CMYK ENDHDR\n" + Raw({0, 0, 0, 0}),
         LoadStatus::Unsupported,
         {},
         0},
        {"header ends early", "P6 2 1", LoadStatus::Damaged, {}, 0},
        {"sample above maxval", "P2 1 1 4\n5", LoadStatus::Damaged, {}, 0},
        {"raw sample above maxval", "P5 1 1 100\n" + Raw({101}), LoadStatus::Damaged, {}, 0},
        {"plain PBM digit 2", "P1 1 1 2", LoadStatus::Damaged, {}, 0},
        {"26000 x 26000 in 30 bytes",
         "P6 26000 26000 255\n" + Raw({0, 0, 0}),
         LoadStatus::OverPixelLimit,
         {},
         0},
    };
    for (const PnmCase& c : cases) {
        std::vector<uint8_t> rgb;
        const LoadResult result = LoadPnm(c.bytes, rgb);
        EXPECT_EQ(result.Status, c.status) << c.name;
        EXPECT_EQ(result.Detail.empty(),
                  c.status == LoadStatus::Loaded || c.status == LoadStatus::OverPixelLimit)
            << c.name;
        EXPECT_EQ(rgb, c.rgb) << c.name;
        EXPECT_EQ(result.IncompleteRows, c.incompleteRows) << c.name;
    }
}

TEST(PnmCodec, EachWriterRoundTripsWithItsHeader) {
    ScratchDir dir;
    const FCObjImage image = RandomImage(5, 3, 24);
    const std::pair<const char*, std::string> writers[] = {
        {"x.ppm", "P6\n5 3\n255\n"},
        {"x.pnm", "P6\n5 3\n255\n"},
        {"x.pam", "P7\nWIDTH 5\nHEIGHT 3\nDEPTH 3\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n"},
    };
    for (const auto& [name, header] : writers) {
        const std::string path = dir / name;
        ASSERT_TRUE(image.SaveToFile(path.c_str())) << name;
        const std::vector<uint8_t> file = ReadFile(path);
        ASSERT_EQ(file.size(), header.size() + 5 * 3 * 3) << name;
        EXPECT_EQ(std::string(file.begin(), file.begin() + header.size()), header) << name;
        FCObjImage back;
        ASSERT_TRUE(back.LoadFromFile(path.c_str())) << name;
        EXPECT_EQ(Rgb(back), Rgb(image)) << name;
    }
    EXPECT_FALSE(image.SaveToFile((dir / "x.pgm").c_str()));
}
