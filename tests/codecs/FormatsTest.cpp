// TIFF, WebP and HEIF: the committed files load with the pixels of their reference decodes, damaged
// files are refused, and a file under another format's extension is read by the codec its bytes
// name (the writers' files come back in the metadata table).
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>

#include "CodecTestSupport.h"
#include "ImageHandle_Tiff.h"
#include "ImageHandle_Webp.h"
#include "PictureWarnings.h"
#include "RowNames.h"

using namespace codectest;

namespace {

LoadResult LoadThroughFramework(const std::string& path, FCObjImage& image,
                                PictureMetadata* metadata = nullptr) {
    const int descriptor = open(path.c_str(), O_RDONLY);
    struct stat status {};
    fstat(descriptor, &status);
    const LoadResult result =
        LoadPictureFile(descriptor, uint64_t(status.st_size), path.c_str(), image, metadata);
    close(descriptor);
    return result;
}

struct Picture {
    const char* file;
    int32_t width, height;
    int tolerance;             // largest difference from the reference in any sample
    const char* warning = "";  // the first warning the load must carry, if any
    friend void PrintTo(const Picture& p, std::ostream* out) { *out << p.file; }
};

const char* const kAlpha = warning::kTransparency;
const std::string kSixteen = warning::NarrowedSamples(16);

const Picture kPictures[] = {
    {"tiff/rgb8-none.tif", 35, 27, 0},
    {"tiff/rgb8-lzw-be.tif", 35, 27, 0},
    {"tiff/rgb8-deflate.tif", 35, 27, 0},
    {"tiff/rgb8-deflate-predictor.tif", 35, 27, 0},
    {"tiff/rgb8-packbits-tiles.tif", 35, 27, 0},
    {"tiff/rgb8-planar.tif", 35, 27, 0},
    {"tiff/rgb8-planar-tiles.tif", 35, 27, 0},
    {"tiff/rgb16-be.tif", 35, 27, 0, kSixteen.c_str()},
    {"tiff/grey8.tif", 35, 27, 0},
    {"tiff/grey16-tiles.tif", 35, 27, 0, kSixteen.c_str()},
    {"tiff/palette.tif", 35, 27, 0},
    {"tiff/bilevel-g4.tif", 35, 27, 0},
    {"tiff/bilevel-g3-miniswhite.tif", 35, 27, 0},
    {"tiff/jpeg.tif", 35, 27, 0},
    {"tiff/jpeg-ycbcr.tif", 35, 27, 0},
    {"tiff/ycbcr.tif", 35, 27, 1},
    {"tiff/cmyk8.tif", 35, 27, 1},
    {"tiff/cmyk16.tif", 35, 27, 1, kSixteen.c_str()},
    {"tiff/rgba8-unassociated.tif", 35, 27, 0, kAlpha},
    {"tiff/rgba8-associated.tif", 35, 27, 0, kAlpha},
    {"tiff/grey4-tiles3x3.tif", 7, 5, 0},
    {"tiff/bilevel-tiles3x3.tif", 7, 5, 0},
    {"tiff/two-pages.tif", 35, 27, 0, warning::kFrames},
    {"webp/lossy.webp", 35, 27, 0},
    {"webp/lossless.webp", 35, 27, 0},
    {"webp/alpha-lossless.webp", 35, 27, 0, kAlpha},
    {"webp/alpha-lossy.webp", 35, 27, 0, kAlpha},
    {"webp/animated.webp", 35, 27, 0, warning::kFrames},
    {"heif/photo.heic", 35, 27, 0},
    {"avif/photo.avif", 35, 27, 0},
    {"heif/rotated.heic", 27, 35, 0},
    {"heif/two-images.heic", 35, 27, 0, warning::kFrames},
    {"heif/photo10.heic", 35, 27, 1, "has 10 bits per sample; narrowed to 8."},
    {"jxl/lossless8.jxl", 35, 27, 0},
    {"jxl/lossless16.jxl", 35, 27, 0, kSixteen.c_str()},
    {"jxl/alpha.jxl", 35, 27, 0, kAlpha},
    {"jxl/grey.jxl", 35, 27, 0},
    {"jxl/lossy.jxl", 35, 27, 1},
    {"jxl/animated.jxl", 35, 27, 0, warning::kFrames},
};

void ExpectNear(const std::string& reference, const FCObjImage& image, int tolerance) {
    const std::vector<uint8_t> expected = ReadFile(reference), ours = Rgb(image);
    ASSERT_EQ(expected.size(), ours.size()) << reference;
    int worst = 0;
    for (size_t i = 0; i < ours.size(); ++i)
        worst = std::max(worst, std::abs(int(ours[i]) - int(expected[i])));
    EXPECT_LE(worst, tolerance) << reference;
}

class CommittedPicture : public ::testing::TestWithParam<Picture> {};

TEST_P(CommittedPicture, LoadsWithItsReferencePixels) {
    const Picture& p = GetParam();
    FCObjImage image;
    const LoadResult result = LoadThroughFramework(DataPath(p.file), image);
    ASSERT_TRUE(result.Ok()) << p.file << ": " << result.Detail;
    EXPECT_EQ(image.InfoHeader.biWidth, p.width) << p.file;
    EXPECT_EQ(image.InfoHeader.biHeight, p.height) << p.file;
    if (*p.warning == '\0')
        EXPECT_TRUE(result.Warnings.empty()) << p.file;
    else
        EXPECT_EQ(result.Warnings.at(0), p.warning) << p.file;
    ExpectNear(ReferencePath(p.file), image, p.tolerance);
}

INSTANTIATE_TEST_SUITE_P(Formats, CommittedPicture, ::testing::ValuesIn(kPictures),
                         NamedBy<&Picture::file>());

TEST(Formats, DamagedAndUnknownKindsAreRefused) {
    const std::pair<const char*, LoadStatus> rows[] = {
        {"tiff/truncated.tif", LoadStatus::Damaged},   {"webp/truncated.webp", LoadStatus::Damaged},
        {"heif/truncated.heic", LoadStatus::Damaged},  {"jxl/truncated.jxl", LoadStatus::Damaged},
        {"tiff/float32.tif", LoadStatus::Unsupported},
    };
    for (const auto& [file, status] : rows) {
        FCObjImage image;
        EXPECT_EQ(LoadThroughFramework(DataPath(file), image).Status, status) << file;
        EXPECT_FALSE(image.IsValid()) << file;
    }
}

TEST(Formats, ResolutionAndOrientationAreRead) {
    FCObjImage tiff, heif;
    PictureMetadata tiffMetadata, heifMetadata;
    ASSERT_TRUE(LoadThroughFramework(DataPath("tiff/rgb8-300dpi.tif"), tiff, &tiffMetadata).Ok());
    EXPECT_EQ(tiff.InfoHeader.biXPelsPerMeter, 11811);
    EXPECT_EQ(tiff.InfoHeader.biYPelsPerMeter, 11811);
    ASSERT_TRUE(LoadThroughFramework(DataPath("heif/rotated.heic"), heif, &heifMetadata).Ok());
    EXPECT_EQ(heifMetadata.Orientation, 1);
}

// A JPEG XL's codestream orientation goes to the turn rule (the pixels come as stored), its profile
// whole, and its EXIF and XMP boxes, here compressed with Brotli, as their contents.
TEST(Formats, JpegXlOrientationProfileAndCompressedBoxesAreRead) {
    FCObjImage jxl, jpeg;
    PictureMetadata metadata, pillow;
    ASSERT_TRUE(LoadThroughFramework(DataPath("jxl/metadata.jxl"), jxl, &metadata).Ok());
    ASSERT_TRUE(LoadThroughFramework(DataPath("jpeg/pillow/truncated_app14.jpg"), jpeg, &pillow).Ok());
    EXPECT_EQ(jxl.InfoHeader.biWidth, 35);
    EXPECT_EQ(metadata.Orientation, 6);
    EXPECT_EQ(metadata.IccProfile, pillow.IccProfile);
    ASSERT_GE(metadata.Exif.size(), 4u);
    EXPECT_EQ(std::string(metadata.Exif.begin(), metadata.Exif.begin() + 4), std::string("MM\0*", 4));
    EXPECT_NE(std::string(metadata.Xmp.begin(), metadata.Xmp.end()).find("hippopotamus"), std::string::npos);
    ExpectNear(ReferencePath("jxl/lossless8.jxl"), jxl, 0);
    // cjxl's animation of a GIF's two frames (10 and 25 centiseconds), every frame asked; cjxl 0.7 drops the
    // GIF's count of plays, so it plays for ever (0).
    const std::string animated = DataPath("jxl/animated.jxl");
    const int descriptor = open(animated.c_str(), O_RDONLY);
    LoadOptions options;
    options.AllFrames = true;
    ::Picture frames;
    ASSERT_TRUE(LoadPictureFrames(descriptor, ReadFile(animated).size(), animated.c_str(), frames, nullptr,
                                  options, 0, 0)
                    .Ok());
    close(descriptor);
    ASSERT_EQ(frames.FrameCount(), 2u);
    EXPECT_EQ(frames.Timing.DelayMs, (std::vector<uint32_t>{100, 250}));
    EXPECT_EQ(frames.Timing.Loops, 0u);
    ExpectNear(ReferencePath("jxl/animated.jxl"), frames.First().Image, 0);
}

TEST(Formats, WebpWriterRefusesSidesBeyondTheFormatAndQualitiesOutOfRange) {
    ScratchDir dir;
    FCObjImage wide, small;
    ASSERT_TRUE(wide.Create(FCImageHandle_Webp::kMaxSide + 1, 1, 24));
    ASSERT_TRUE(small.Create(2, 2, 24));
    EXPECT_FALSE(SavePictureFile(wide, (dir / "wide.webp").c_str(), -1));
    for (int32_t flag : {0, 101, -2})
        EXPECT_FALSE(SavePictureFile(small, (dir / "q.webp").c_str(), flag)) << flag;
    EXPECT_EQ(dir.EntryCount(), 0u);
}

TEST(Formats, FileUnderAnotherExtensionIsReadByItsSignature) {
    ScratchDir dir;
    const struct {
        const char* source;
        const char* name;
        const char* warning;  // null: refused; empty: read without a word, the name giving no format
    } rows[] = {
        {"jpeg/libjpeg-turbo/testorig.jpg", "x.png", "is a JPEG file; read as JPEG"},
        {"webp/lossless.webp", "x.jpg", "is a WebP file; read as WebP"},
        {"tiff/rgb8-none.tif", "x.bmp", "is a TIFF file; read as TIFF"},
        {"heif/photo.heic", "x.webp", "is a HEIF file; read as HEIF"},
        {"gif/giflib/treescap.gif", "x.jpg", "is a GIF file; read as GIF"},
        {"tiff/truncated.tif", "y.png", nullptr},
        {"jpeg/libjpeg-turbo/testorig.jpg", "upload_1234", ""},
        {"png/pngsuite/basn2c08.png", "x.xyz", ""},
    };
    for (const auto& row : rows) {
        const std::string path = dir / row.name;
        WriteFile(path, ReadFile(DataPath(row.source)));
        FCObjImage image;
        const LoadResult result = LoadThroughFramework(path, image);
        if (row.warning == nullptr) {
            EXPECT_EQ(result.Status, LoadStatus::Damaged) << row.source;
            continue;
        }
        ASSERT_TRUE(result.Ok()) << row.source;
        EXPECT_EQ(result.Warnings.empty(), *row.warning == '\0') << row.source;
        if (*row.warning != '\0') {
            EXPECT_EQ(result.Warnings.front(), row.warning);
        }
    }
}

// Every prefix of a file is refused or loads whole-sized, never read past (the sanitizer build
// watches): libraries read cut files through our glue in ways of their own.
class PrefixOfAPicture : public ::testing::TestWithParam<const char*> {};

TEST_P(PrefixOfAPicture, IsHarmless) {
    const char* file = GetParam();
    const std::vector<uint8_t> bytes = ReadFile(DataPath(file));
    const ImageType type = GetImageHandleFactory()->GetImageType(file);
    for (size_t length = 1; length < bytes.size(); length += 7) {
        const std::unique_ptr<FCImageHandleBase> codec = GetImageHandleFactory()->CreateImageHandle(type);
        if (!codec->LoadMemory(bytes.data(), int32_t(length))) continue;
        std::deque<FCObjImage*> images;
        codec->GetImageList(images, false);
        ASSERT_EQ(images.size(), 1u) << file << " cut to " << length;
        EXPECT_EQ(images.front()->InfoHeader.biWidth, 35) << file << " cut to " << length;
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, PrefixOfAPicture,
                         ::testing::Values("tiff/rgb8-planar-tiles.tif", "tiff/ycbcr.tif",
                                           "webp/animated.webp", "heif/photo.heic", "jxl/lossy.jxl",
                                           "jxl/metadata.jxl"),
                         NamedByValue());

}  // namespace
