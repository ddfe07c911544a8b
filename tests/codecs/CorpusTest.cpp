// Published BMP, TGA, PNG and PNM files: each loads or is refused as the corpus notes say, loaded pixels
// match ImageMagick's committed decodes, and no prefix of a file makes a reader misbehave.
#include <fcntl.h>

#include <map>

#include "../support/CorpusOutcomes.h"
#include "ByteSource.h"
#include "CodecTestSupport.h"
#include "ImageHandle_Bmp.h"
#include "ImageHandle_Png.h"
#include "ImageHandle_Pnm.h"
#include "ImageHandle_Tga.h"
#include "RowNames.h"

using namespace codectest;

namespace {

using Outcome = CorpusOutcome;

std::vector<Outcome> ReadOutcomes() {
    return ReadCorpusOutcomes({"bmp", "tga", "png", "pbm", "pgm", "ppm"});
}

std::unique_ptr<FCObjImage> DecodeByExtension(const std::vector<uint8_t>& bytes, const std::string& path) {
    const std::string extension = GetFileExtension(path.c_str());
    if (extension == "bmp") return Decode<FCImageHandle_Bmp>(bytes);
    if (extension == "png") return Decode<FCImageHandle_Png>(bytes);
    if (extension == "tga") return Decode<FCImageHandle_Tga>(bytes);
    return Decode<FCImageHandle_Pnm>(bytes);
}

// The decoder as the host runs it, over a file source of the first size bytes of the open file fd,
// here with a window of window bytes.
template <class Codec>
bool LoadsThroughWindow(int fd, size_t window, uint64_t size) {
    ByteSource source(fd, size, window);
    Codec codec;
    return source.Usable() && codec.LoadSource(source);
}

bool LoadsThroughWindow(const std::string& extension, int fd, size_t window, uint64_t size) {
    if (extension == "bmp") return LoadsThroughWindow<FCImageHandle_Bmp>(fd, window, size);
    if (extension == "tga") return LoadsThroughWindow<FCImageHandle_Tga>(fd, window, size);
    return LoadsThroughWindow<FCImageHandle_Pnm>(fd, window, size);
}

uint32_t MaskBits(uint32_t mask) {
    if (mask == 0) return 0;
    mask >>= __builtin_ctz(mask);
    return 32 - uint32_t(__builtin_clz(mask));
}

// Channel widths of a BMP or TGA file's pixels, for comparing narrow or wide channels. PNG
// samples of every depth are compared on their top 8 bits.
void ChannelBits(const std::vector<uint8_t>& f, const std::string& extension, uint32_t bits[3]) {
    bits[0] = bits[1] = bits[2] = 8;
    if (extension != "bmp" && extension != "tga") return;
    const bool bmp = extension == "bmp";
    const uint16_t depth = bmp ? uint16_t(f[28] | f[29] << 8) : f[16];
    const bool bitFields = bmp && f[30] == 3;
    if ((depth == 16 || depth == 15) && !(bmp ? bitFields : f[2] == 3 || f[2] == 11))
        bits[0] = bits[1] = bits[2] = 5;
    if (bitFields)
        for (int i = 0; i < 3; ++i) {
            const size_t at = 54 + 4 * size_t(i);
            bits[i] = MaskBits(f[at] | f[at + 1] << 8 | f[at + 2] << 16 | uint32_t(f[at + 3]) << 24);
        }
}

// Files ImageMagick refuses or misreads for a field our reader does not use, each compared with
// a file of the same picture instead.
const std::map<std::string, std::string> kSamePictureAs = {
    {"bmp/bmpsuite/b/badplanes.bmp", "bmp/bmpsuite/g/pal1.bmp"},
    {"bmp/bmpsuite/b/badfilesize.bmp", "bmp/bmpsuite/g/pal1.bmp"},
    {"bmp/bmpsuite/b/badpalettesize.bmp", "bmp/bmpsuite/g/pal8.bmp"},
    {"bmp/bmpsuite/q/pal8oversizepal.bmp", "bmp/bmpsuite/g/pal8.bmp"},
    {"bmp/bmpsuite/q/pal8os2v2.bmp", "bmp/bmpsuite/g/pal8.bmp"},
    {"bmp/bmpsuite/q/pal8os2v2-sz.bmp", "bmp/bmpsuite/g/pal8.bmp"},
    {"bmp/bmpsuite/q/pal8os2v2-40sz.bmp", "bmp/bmpsuite/g/pal8.bmp"},
    // ImageMagick reads grey plus alpha as 5-5-5 colour; the grey bytes are those of the grey files.
    {"tga/pillow/common/200x32_la_bl_raw.tga", "tga/pillow/common/200x32_l_bl_raw.tga"},
    {"tga/pillow/common/200x32_la_bl_rle.tga", "tga/pillow/common/200x32_l_bl_rle.tga"},
    {"tga/pillow/common/200x32_la_tl_raw.tga", "tga/pillow/common/200x32_l_tl_raw.tga"},
    {"tga/pillow/common/200x32_la_tl_rle.tga", "tga/pillow/common/200x32_l_tl_rle.tga"},
    // ImageMagick ignores a right origin; each of these holds its twin's rows stored right to left.
    {"tga/own/200x32_rgb_br_raw.tga", "tga/pillow/common/200x32_rgb_bl_raw.tga"},
    {"tga/own/200x32_rgb_tr_rle.tga", "tga/pillow/common/200x32_rgb_tl_rle.tga"},
    {"tga/own/200x32_rgba_tr_raw.tga", "tga/pillow/common/200x32_rgba_tl_raw.tga"},
    {"tga/own/200x32_rgba_br_rle.tga", "tga/pillow/common/200x32_rgba_bl_rle.tga"},
    // Too large a reference to commit; the BMP and TGA readers are held to each other.
    {"tga/wuffs/bricks-color.tga", "bmp/wuffs/bricks-color.bmp"},
};

// Files with neither a trustworthy ImageMagick decode nor a twin.
const std::map<std::string, std::string> kNotComparable = {
    {"bmp/bmpsuite/b/shortfile.bmp", "ImageMagick gives up on the missing rows"},
    {"bmp/bmpsuite/b/pal8badindex.bmp",
     "indices past the palette: ImageMagick shows entry 0, we read 256 entries"},
    {"bmp/pillow/mmap_error.bmp", "ImageMagick refuses a file one byte shorter than bfSize"},
    {"tga/pillow/la.tga", "grey plus alpha, which ImageMagick reads as 5-5-5 colour"},
    {"bmp/wuffs/bricks-color.bmp", "reference too large to commit; its TGA twin is compared with it"},
};

TEST(Corpus, EveryFileLoadsOrIsRefusedAsNoted) {
    const std::vector<Outcome> outcomes = ReadOutcomes();
    ASSERT_EQ(outcomes.size(), 334u);
    std::map<std::string, int> seen;
    for (const Outcome& o : outcomes) {
        const std::string path = DataPath(o.Path);
        FCObjImage image;
        const bool loaded = image.LoadFromFile(path.c_str());
        // Also straight from an exactly sized block, so a sanitizer sees any read past it.
        const bool fromMemory = DecodeByExtension(ReadFile(path), path) != nullptr;
        EXPECT_EQ(loaded, fromMemory) << o.Path;
        // The BMP and TGA file readers agree with their whole-file readers on every file.
        const std::string extension = GetFileExtension(path.c_str());
        if (extension == "bmp") {
            EXPECT_EQ(DecodeFileBothWays<FCImageHandle_Bmp>(path) != nullptr, loaded) << o.Path;
        } else if (extension == "tga") {
            EXPECT_EQ(DecodeFileBothWays<FCImageHandle_Tga>(path) != nullptr, loaded) << o.Path;
        } else if (extension != "png") {
            EXPECT_EQ(DecodeFileBothWays<FCImageHandle_Pnm>(path) != nullptr, loaded) << o.Path;
        }
        if (o.Expected != "edge") {
            EXPECT_EQ(loaded, o.Expected == "load") << o.Path;
        }
        if (loaded) {
            EXPECT_EQ(image.InfoHeader.biWidth, o.Width) << o.Path;
            EXPECT_EQ(image.InfoHeader.biHeight, o.Height) << o.Path;
        }
        ++seen[o.Expected];
    }
    EXPECT_GT(seen["load"], 0);
    EXPECT_GT(seen["refuse"], 0);
    EXPECT_GT(seen["edge"], 0);
}

// The files that load and have a decode of ImageMagick's, or a twin's, to be held to.
std::vector<Outcome> ComparableOutcomes() {
    std::vector<Outcome> rows;
    for (const Outcome& o : ReadOutcomes())
        if (o.Expected == "load" && kNotComparable.count(o.Path) == 0) rows.push_back(o);
    return rows;
}

TEST(Corpus, MostLoadedFilesAreComparedWithImageMagick) {
    EXPECT_GT(ComparableOutcomes().size(), 260u);
}

class LoadedFile : public ::testing::TestWithParam<Outcome> {};

TEST_P(LoadedFile, PixelsMatchImageMagick) {
    const Outcome& o = GetParam();
    const std::string path = DataPath(o.Path);
    const std::vector<uint8_t> bytes = ReadFile(path);
    const auto image = DecodeByExtension(bytes, path);
    ASSERT_TRUE(image) << o.Path;
    const auto twin = kSamePictureAs.find(o.Path);
    if (twin != kSamePictureAs.end()) {
        const std::string twinPath = DataPath(twin->second);
        const auto reference = DecodeByExtension(ReadFile(twinPath), twinPath);
        ASSERT_TRUE(reference) << twin->second;
        EXPECT_EQ(Rgb(*image), Rgb(*reference)) << o.Path;
    } else {
        uint32_t bits[3];
        const std::string extension = GetFileExtension(path.c_str());
        ChannelBits(bytes, extension, bits);
        ExpectPixelsLikeReference(ReferencePath(o.Path), *image, bits);
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, LoadedFile, ::testing::ValuesIn(ComparableOutcomes()),
                         NamedBy<&Outcome::Path>());

const char* const kPrefixFixtures[] = {
    "bmp/bmpsuite/g/pal1.bmp",
    "bmp/bmpsuite/g/pal4.bmp",
    "bmp/bmpsuite/g/pal8v5.bmp",
    "bmp/bmpsuite/g/pal8topdown.bmp",
    "bmp/bmpsuite/g/pal8rle.bmp",
    "bmp/bmpsuite/g/pal4rle.bmp",
    "bmp/bmpsuite/b/badrle4bis.bmp",
    "bmp/bmpsuite/g/rgb16-565.bmp",
    "bmp/bmpsuite/q/rgb32-7187.bmp",
    "bmp/wuffs/pjw-thumbnail.bmp",
    "bmp/wuffs/hippopotamus.bmp",
    "tga/pillow/common/200x32_p_tl_rle.tga",
    "tga/pillow/common/200x32_la_bl_rle.tga",
    "tga/pillow/cross_scan_line_truncated.tga",
    "tga/pillow/rgba16.tga",
    "tga/pillow/tga_id_field.tga",
    "tga/wuffs/bricks-gray.tga",
    "pnm/libtiff/miniswhite-1c-1b.pbm",
    "pnm/libtiff/minisblack-1c-8b.pgm",
};

class PrefixOfAFile : public ::testing::TestWithParam<const char*> {};

TEST_P(PrefixOfAFile, FailsCleanlyOrLoads) {
    // Every prefix from a block of its length; and, as the host reads, the head of the file as a
    // source of that length through a window whose size changes with it, so the end of the data
    // and the window's edges fall everywhere (every 13th prefix past the header: reads of a few
    // bytes each are slow).
    const size_t windows[] = {1, 3, 7, 31, 127, 509, 4093};
    const char* name = GetParam();
    const std::string path = DataPath(name);
    const std::vector<uint8_t> whole = ReadFile(path);
    ASSERT_FALSE(whole.empty()) << name;
    const std::string extension = GetFileExtension(name);
    const size_t minimum = extension == "bmp" ? 55 : extension == "tga" ? 18 : 7;
    const int fd = open(path.c_str(), O_RDONLY);
    for (size_t n = 0; n < whole.size(); ++n) {
        const std::vector<uint8_t> prefix(whole.begin(), whole.begin() + n);
        const bool loaded = DecodeByExtension(prefix, name) != nullptr;
        if (n < minimum) {
            EXPECT_FALSE(loaded) << name << " " << n;
        }
        if (n > 0 && (n < 256 || n % 13 == 0)) {
            EXPECT_EQ(LoadsThroughWindow(extension, fd, windows[n % 7], n), loaded) << name << " " << n;
        }
    }
    close(fd);
}

INSTANTIATE_TEST_SUITE_P(Corpus, PrefixOfAFile, ::testing::ValuesIn(kPrefixFixtures), NamedByValue());

}  // namespace
