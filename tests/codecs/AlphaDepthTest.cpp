// Alpha and 16-bit samples through the codecs: committed files read with their alpha kept, and
// sample images saved and loaded back, each held to ImageMagick's decode of the same file.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>

#include "CodecTestSupport.h"
#include "ImageHandle_Tga.h"
#include "MagickDecode.h"
#include "PictureWarnings.h"
#include "RowNames.h"

using namespace codectest;

namespace {

constexpr char kMagick[] = "/usr/bin/convert";

Rgba16 ToRgba16(FCSampleImage& samples) {
    EXPECT_TRUE(ConvertSamples(samples, 4, 65535));
    Rgba16 out;
    for (int32_t y = 0; y < samples.Height; ++y)
        for (size_t i = 0; i < size_t(samples.Width) * 4; ++i)
            out.push_back(uint16_t(samples.SampleAt(samples.Row(y), i)));
    return out;
}

// Loads path through the framework: into samples of channels x maxValue as a version 2 run, or with
// channels 0 into a 24-bit picture as a version 1 run.
LoadResult LoadThrough(const std::string& path, const LoadOptions& options, FCSampleImage& samples,
                       PictureMetadata* metadata, uint32_t channels, uint32_t maxValue) {
    const int descriptor = open(path.c_str(), O_RDONLY);
    struct stat status {};
    fstat(descriptor, &status);
    FCObjImage image;
    const uint64_t size = uint64_t(status.st_size);
    const LoadResult result = channels != 0
                                  ? LoadPictureSamples(descriptor, size, path.c_str(), samples, metadata,
                                                       options, channels, maxValue)
                                  : LoadPictureFile(descriptor, size, path.c_str(), image, metadata, options);
    close(descriptor);
    return result;
}

// Where bits is 16 the samples must be equal; narrower channels are held to the top bits of
// ImageMagick's sample, colour widened by the codecs' shift (ExpectedByShift). Colour under alpha 0 is not
// looked at: decoders leave there what they like.
void ExpectSamples(const Rgba16& ours, const Rgba16& theirs, const uint32_t bits[4], int tolerance,
                   const std::string& what) {
    ASSERT_EQ(ours.size(), theirs.size()) << what;
    size_t mismatches = 0;
    for (size_t i = 0; i < ours.size(); ++i) {
        if (i % 4 != 3 && theirs[i - i % 4 + 3] == 0) continue;
        const uint32_t b = bits[i % 4];
        // Narrow alpha is scaled, not shifted: its largest value is opaque.
        const uint32_t top = theirs[i] >> (16 - b), largest = (1u << b) - 1;
        const int expected = b == 16               ? theirs[i]
                             : i % 4 == 3 && b < 8 ? int((top * 255 + largest / 2) / largest)
                                                   : ExpectedByShift(theirs[i], b);
        const int got = b == 16 ? ours[i] : ours[i] >> 8;
        if (std::abs(got - expected) > tolerance && mismatches++ == 0)
            ADD_FAILURE() << what << ": sample " << i << " is " << got << ", expected " << expected;
    }
    EXPECT_EQ(mismatches, 0u) << what;
}

// What a load handed over, as samples: its sample image, or its picture widened to 8-bit colour.
// Returns the sample image's channels, 0 for a picture.
uint32_t HandedOver(FCImageHandleBase& codec, FCSampleImage& samples) {
    if (codec.Rows.Began()) codec.Rows.Finish(codec.Options, codec.Result);
    if (codec.Rows.Samples.IsValid()) {
        samples.SwapWith(codec.Rows.Samples);
        return samples.Channels;
    }
    FCObjImage image;
    EXPECT_TRUE(TakeDecodedPicture(codec, image, nullptr));
    image.ConvertTo24();
    EXPECT_TRUE(WidenToSamples(image, samples, 3, 255));
    return 0;
}

// A codec of the file's type that keeps alpha, after loading the file.
std::unique_ptr<FCImageHandleBase> LoadKeepingAlpha(const std::string& path) {
    auto codec =
        GetImageHandleFactory()->CreateImageHandle(GetImageHandleFactory()->GetImageType(path.c_str()));
    codec->Options.KeepAlpha = true;
    EXPECT_TRUE(codec->LoadFile(path.c_str())) << path << ": " << codec->Result.Detail;
    return codec;
}

struct AlphaFile {
    const char* file;
    uint32_t channels;  // of the sample image the codec hands over; 0: a 24-bit picture
    uint32_t maxValue;
    uint32_t bits[4] = {8, 8, 8, 8};  // red, green, blue, alpha widths; 16: whole samples
    const char* magick = "";          // ImageMagick's options; "ref": the committed decode instead
    const char* twin = nullptr;       // a file of the same picture that ImageMagick reads right
    friend void PrintTo(const AlphaFile& f, std::ostream* out) { *out << f.file; }
};

// The first frame alone, on its logical screen, which starts transparent.
constexpr char kFirstFrameOnScreen[] = "-delete 1--1 -background none -flatten";

const AlphaFile kAlphaFiles[] = {
    {"png/pngsuite/basn6a08.png", 4, 255},
    {"png/pngsuite/basn6a16.png", 4, 65535, {16, 16, 16, 16}},
    {"png/pngsuite/basn4a16.png", 4, 65535, {16, 16, 16, 16}},
    {"png/pngsuite/tbbn3p08.png", 4, 255},
    {"png/pngsuite/tbrn2c08.png", 4, 255},
    {"png/pngsuite/tbbn0g04.png", 4, 255},
    {"png/pngsuite/tbwn0g16.png", 4, 65535, {16, 16, 16, 16}},
    {"png/pngsuite/basn2c08.png", 0, 0},
    {"gif/pillow/first_frame_transparency.gif", 4, 255, {8, 8, 8, 8}, kFirstFrameOnScreen},
    {"gif/giflib/x-trans.gif", 4, 255, {8, 8, 8, 8}, kFirstFrameOnScreen},
    {"gif/giflib/fire.gif", 0, 0, {8, 8, 8, 8}, kFirstFrameOnScreen},
    {"webp/alpha-lossless.webp", 4, 255},
    {"webp/alpha-lossy.webp", 4, 255},
    {"webp/lossless.webp", 0, 0},
    {"tiff/rgba8-unassociated.tif", 4, 255},
    {"tiff/rgb16-be.tif", 3, 65535, {16, 16, 16, 16}},
    {"bmp/bmpsuite/q/rgba32-1.bmp", 4, 255},
    {"bmp/bmpsuite/q/rgba32h56.bmp", 4, 255},
    {"bmp/bmpsuite/q/rgba32-1010102.bmp", 4, 255, {10, 10, 10, 2}},
    {"bmp/bmpsuite/q/rgba16-4444.bmp", 4, 255, {4, 4, 4, 4}},
    {"bmp/bmpsuite/q/rgba16-5551.bmp", 4, 255, {5, 5, 5, 1}},
    {"bmp/pillow/rgb32bf-rgba.bmp", 4, 255},
    {"bmp/bmpsuite/g/rgb32bf.bmp", 0, 0},
    {"tga/pillow/common/200x32_rgba_tl_raw.tga", 4, 255},
    {"tga/pillow/common/200x32_rgba_bl_rle.tga", 4, 255},
    {"tga/pillow/rgba16.tga", 4, 255, {5, 5, 5, 8}},
    {"tga/pillow/common/200x32_rgb_tl_raw.tga", 0, 0},
    // Rows stored right to left, which ImageMagick ignores: held to the pictures they were made from.
    {"tga/own/200x32_rgba_tr_raw.tga", 4, 255, {8, 8, 8, 8}, "", "tga/pillow/common/200x32_rgba_tl_raw.tga"},
    {"tga/own/200x32_rgba_br_rle.tga", 4, 255, {8, 8, 8, 8}, "", "tga/pillow/common/200x32_rgba_bl_rle.tga"},
    {"tga/own/200x32_rgb_br_raw.tga", 0, 0, {8, 8, 8, 8}, "", "tga/pillow/common/200x32_rgb_bl_raw.tga"},
    {"tga/own/200x32_rgb_tr_rle.tga", 0, 0, {8, 8, 8, 8}, "", "tga/pillow/common/200x32_rgb_tl_rle.tga"},
    {"pnm/own/grey-alpha16.pam", 4, 65535, {16, 16, 16, 16}},
    {"heif/alpha.heic", 4, 255, {8, 8, 8, 8}, "ref"},
    {"jxl/alpha.jxl", 4, 255},
    {"jxl/lossless16.jxl", 3, 65535, {16, 16, 16, 16}},
};

class CommittedFile : public ::testing::TestWithParam<AlphaFile> {};

TEST_P(CommittedFile, HandsOverItsAlpha) {
    if (access(kMagick, X_OK) != 0) GTEST_SKIP() << "no ImageMagick at " << kMagick;
    const AlphaFile& f = GetParam();
    const std::string path = DataPath(f.file);
    const auto codec = LoadKeepingAlpha(path);
    const std::vector<std::string>& warnings = codec->Result.Warnings;
    EXPECT_EQ(std::count(warnings.begin(), warnings.end(), warning::kTransparency), 0) << f.file;
    FCSampleImage samples;
    ASSERT_EQ(HandedOver(*codec, samples), f.channels) << f.file;
    if (f.channels != 0) {
        EXPECT_EQ(samples.MaxValue, f.maxValue) << f.file;
    }
    Rgba16 theirs;
    if (std::string(f.magick) == "ref") {
        for (uint8_t v : ReadFile(DataPath(std::string("reference/") + f.file + ".rgba")))
            theirs.push_back(uint16_t(v * 257));
    } else {
        theirs = MagickDecode(f.twin != nullptr ? DataPath(f.twin) : path, f.magick);
    }
    ExpectSamples(ToRgba16(samples), theirs, f.bits, 0, f.file);
}

INSTANTIATE_TEST_SUITE_P(AlphaDepth, CommittedFile, ::testing::ValuesIn(kAlphaFiles),
                         NamedBy<&AlphaFile::file>());

// 35 x 27 samples of gentle slopes, different across and down and in each channel, whose 16-bit
// ones are no 8-bit picture widened; a column of alpha 0 with colour under it, which a writer must
// not multiply away.
void MakeSamples(FCSampleImage& samples, uint32_t channels, uint32_t maxValue) {
    ASSERT_TRUE(samples.Create(35, 27, channels, maxValue));
    samples.XPixelsPerMetre = 3780, samples.YPixelsPerMetre = 2835;
    const uint32_t period = 2 * maxValue;
    for (int32_t y = 0; y < samples.Height; ++y)
        for (uint32_t x = 0; x < uint32_t(samples.Width); ++x)
            for (uint32_t c = 0; c < channels; ++c) {
                const uint32_t t =
                    (x * (maxValue / 20 + 1) + uint32_t(y) * (maxValue / 30 + 1) + c * (maxValue / 3)) %
                    period;
                samples.SetSample(samples.Row(y), x * channels + c,
                                  c == 3 - (4 - channels) % 2 * 2 && x == 0 ? 0 : std::min(t, period - t));
            }
}

struct RoundTrip {
    const char* name;  // its extension names the format
    uint32_t channels, maxValue;
    int32_t flag;
    uint32_t keptChannels, keptMaxValue;  // what the written file holds
    int tolerance = 0;                    // in steps of the kept samples
    bool magickReads = true;              // ImageMagick 6 reads no grey with alpha from TGA
    friend void PrintTo(const RoundTrip& r, std::ostream* out) { *out << r.name; }
};

const RoundTrip kRoundTrips[] = {
    {"rgba16.png", 4, 65535, -1, 4, 65535},
    {"rgba8.png", 4, 255, -1, 4, 255},
    {"rgb10.png", 3, 1023, -1, 3, 65535},
    {"rgba16.tif", 4, 65535, -1, 4, 65535},
    {"rgba8.tif", 4, 255, -1, 4, 255},
    {"rgb16.tif", 3, 65535, -1, 3, 65535},
    {"rgba16.pam", 4, 65535, -1, 4, 65535},
    {"rgba8.pam", 4, 255, -1, 4, 255},
    {"rgba16.ppm", 4, 65535, -1, 3, 65535},
    {"rgba16.tga", 4, 65535, -1, 4, 255},
    {"rgba8-rle.tga", 4, 255, 1, 4, 255},
    {"rgb8.tga", 3, 255, -1, 3, 255},
    {"rgba8.webp", 4, 255, 100, 4, 255},
    {"rgba16.webp", 4, 65535, 100, 4, 255},
    {"rgba8-lossy.webp", 4, 255, 90, 4, 255, 24},
    {"rgba16.jxl", 4, 65535, 100, 4, 65535},
    {"rgba8.jxl", 4, 255, 100, 4, 255},
    {"rgb16.jxl", 3, 65535, 100, 3, 65535},
    {"rgb8.jxl", 3, 255, -1, 3, 255, 24},
    {"greya8-rle.tga", 2, 255, 1, 2, 255, 0, false},
    {"grey8.bmp", 1, 255, -1, 3, 255},
};

class SavedSamples : public ::testing::TestWithParam<RoundTrip> {};

// Each written file comes back, through the framework and through ImageMagick, as the samples in
// the form the file holds; resolution and profile travel where the format keeps them.
TEST_P(SavedSamples, ComeBack) {
    if (access(kMagick, X_OK) != 0) GTEST_SKIP() << "no ImageMagick at " << kMagick;
    ScratchDir dir;
    // A profile colour engines parse (libjxl refuses any other): a Pillow JPEG's.
    PictureMetadata metadata;
    FCSampleImage pillow;
    ASSERT_TRUE(
        LoadThrough(DataPath("jpeg/pillow/truncated_app14.jpg"), LoadOptions(), pillow, &metadata, 0, 0)
            .Ok());
    metadata.Exif.clear();
    const RoundTrip& r = GetParam();
    const std::string path = dir / r.name;
    const ImageType type = GetImageHandleFactory()->GetImageType(path.c_str());
    FCSampleImage saved, expected, back;
    MakeSamples(saved, r.channels, r.maxValue);
    ASSERT_TRUE(SaveSamplesFile(saved, type, path.c_str(), r.flag, &metadata)) << r.name;
    MakeSamples(expected, r.channels, r.maxValue);
    ASSERT_TRUE(ConvertSamples(expected, r.keptChannels, r.keptMaxValue));
    const Rgba16 theirs = ToRgba16(expected);
    LoadOptions options;
    options.KeepAlpha = true;
    PictureMetadata read;
    const LoadResult result = LoadThrough(path, options, back, &read, 4, 65535);
    ASSERT_TRUE(result.Ok()) << r.name << ": " << result.Detail;
    const uint32_t b = r.keptMaxValue > 255 ? 16 : 8;
    const uint32_t bits[4] = {b, b, b, b};
    ExpectSamples(ToRgba16(back), theirs, bits, r.tolerance, r.name);
    if (r.magickReads)
        ExpectSamples(MagickDecode(path), theirs, bits, r.tolerance, std::string("ImageMagick: ") + r.name);
    const uint32_t keeps = ItemsKept(type);
    if ((keeps & ItemResolution) != 0) {
        EXPECT_EQ(back.XPixelsPerMetre, 3780) << r.name;
        EXPECT_EQ(back.YPixelsPerMetre, 2835) << r.name;
    }
    if ((keeps & ItemProfile) != 0) {
        EXPECT_EQ(read.IccProfile, metadata.IccProfile) << r.name;
    }
}

INSTANTIATE_TEST_SUITE_P(AlphaDepth, SavedSamples, ::testing::ValuesIn(kRoundTrips),
                         NamedBy<&RoundTrip::name>());

// Lossy JPEG XL beside cjxl at the same -q, on a 320 x 240 photo (Pillow's 1024 x 768 one, scaled):
// within 0.3 dB and 1.1 x the size.
TEST(JxlWriter, LossyIsCjxlAtTheSameQuality) {
    ScratchDir dir;
    const std::string photo = dir / "photo.ppm";
    ASSERT_EQ(0, std::system(("/usr/bin/convert '" + DataPath("jpeg/pillow/junk_jpeg_header.jpg") +
                              "' -resize '320x240!' " + photo + " 2>/dev/null")
                                 .c_str()));
    FCSampleImage samples;
    ASSERT_TRUE(LoadThrough(photo, LoadOptions(), samples, nullptr, 3, 255).Ok());
    const Rgba16 original = MagickDecode(photo);
    const auto psnr = [&](const Rgba16& back) {
        double squares = 0;
        for (size_t i = 0; i < original.size() && back.size() == original.size(); ++i) {
            const double d = (double(back[i]) - double(original[i])) / 257;
            squares += i % 4 == 3 ? 0 : d * d;
        }
        return back.size() != original.size()
                   ? 0
                   : 10 *
                         std::log10(255.0 * 255.0 * 0.75 * double(original.size()) / std::max(squares, 1e-9));
    };
    for (const int quality : {75, 50}) {
        const std::string q = std::to_string(quality), ours = dir / ("ours" + q + ".jxl"),
                          theirs = dir / ("cjxl" + q + ".jxl");
        ASSERT_TRUE(SaveSamplesFile(samples, ImageTypeJxl, ours.c_str(), quality, nullptr));
        ASSERT_EQ(0, std::system(("cjxl " + photo + " " + theirs + " -q " + q + " >/dev/null 2>&1").c_str()));
        EXPECT_GE(psnr(MagickDecode(ours)), psnr(MagickDecode(theirs)) - 0.3) << quality;
        EXPECT_LE(double(ReadFile(ours).size()), 1.1 * double(ReadFile(theirs).size())) << quality;
    }
}

// GIF through its palette: a picture's own colours (here 200) come back exactly, alpha below half
// as the transparent entry and the rest opaque; 256 colours and a transparent entry, or 4096 spread
// evenly over the colour cube (libvips's gifsave: 25.9 dB), go through the quantiser and come back
// close, transparency where it was.
TEST(GifWriter, KeepsFewColoursExactlyAndManyClose) {
    const struct {
        uint32_t Colours;  // distinct opaque colours
        double LeastPsnr;  // of the opaque samples; 0: exact
    } rows[] = {{200, 0}, {256, 35}, {4096, 23}};
    for (const auto& row : rows) {
        FCSampleImage saved;
        ASSERT_TRUE(saved.Create(64, 72, 4, 255));
        for (int32_t y = 0; y < saved.Height; ++y)
            for (uint32_t x = 0; x < 64; ++x) {
                const uint32_t colour = (uint32_t(y) * 64 + x) % row.Colours;
                const uint8_t pixel[4] = {uint8_t(colour % 16 * 17), uint8_t(colour / 16 % 16 * 17),
                                          uint8_t(colour / 256 * 17), uint8_t(y >= 64 ? x * 4 : 255)};
                std::memcpy(saved.Row(y) + 4 * x, pixel, 4);
            }
        ScratchDir dir;
        const std::string path = dir / "x.gif";
        ASSERT_TRUE(SaveSamplesFile(saved, ImageTypeGif, path.c_str(), -1, nullptr)) << row.Colours;
        FCSampleImage back;
        LoadOptions options;
        options.KeepAlpha = true;
        ASSERT_TRUE(LoadThrough(path, options, back, nullptr, 4, 255).Ok());
        double squares = 0;
        size_t samples = 0;
        for (int32_t y = 0; y < saved.Height; ++y)
            for (size_t i = 0; i < 4 * 64; ++i) {
                const int in = saved.Row(y)[i], out = back.Row(y)[i], alpha = saved.Row(y)[i | 3];
                if (i % 4 == 3) {
                    ASSERT_EQ(out, alpha < 128 ? 0 : 255) << row.Colours << " at " << y << ", " << i;
                } else if (alpha >= 128) {
                    squares += double((in - out) * (in - out)), ++samples;
                }
            }
        if (row.LeastPsnr == 0) {
            EXPECT_EQ(squares, 0) << row.Colours;
        } else {
            EXPECT_GE(10 * std::log10(255.0 * 255.0 * double(samples) / squares), row.LeastPsnr)
                << row.Colours;
        }
    }
}

// HEIC and AVIF out of every shape their encoders can stumble on, read back by libheif's own
// heif-convert: a 1 x 1 and odd sizes with alpha, 16-bit samples (narrowed to 8), a grey picture, the
// colour close at the top quality and the alpha plane kept.
TEST(HeifWriters, WriteEveryShapeWithItsAlpha) {
    struct Shape {
        int32_t Width, Height;
        bool Grey;
    };
    for (const auto& [type, name] :
         {std::pair<ImageType, const char*>{ImageTypeHeif, "x.heic"}, {ImageTypeAvif, "x.avif"}})
        for (const Shape& shape :
             {Shape{1, 1, false}, {3, 5, false}, {17, 9, false}, {64, 48, false}, {15, 7, true}}) {
            const auto [width, height, grey] = shape;
            FCSampleImage saved;
            ASSERT_TRUE(saved.Create(width, height, 4, 65535));
            for (int32_t y = 0; y < height; ++y)
                for (int32_t x = 0; x < width; ++x)
                    for (uint32_t c = 0; c < 4; ++c)
                        saved.SetSample(saved.Row(y), size_t(x) * 4 + c,
                                        c == 3
                                            ? (x % 2 == 0 ? 65535u : 0u)
                                            : uint32_t(x * 900 + y * 700 + (grey ? 0 : c * 20000)) % 65536);
            ScratchDir dir;
            const std::string path = dir / name;
            const std::string shown =
                std::string(name) + " " + std::to_string(width) + "x" + std::to_string(height);
            ASSERT_TRUE(SaveSamplesFile(saved, type, path.c_str(), 100, nullptr)) << shown;
            ASSERT_EQ(0, std::system(
                             ("heif-convert '" + path + "' '" + dir / "back.png" + "' >/dev/null").c_str()));
            const Rgba16 back = MagickDecode(dir / "back.png");
            ASSERT_EQ(back.size(), size_t(width) * size_t(height) * 4);
            double squares = 0;
            size_t samples = 0;
            for (size_t i = 0; i < back.size(); ++i) {
                const int32_t x = int32_t(i / 4 % size_t(width)), y = int32_t(i / 4 / size_t(width));
                const int in = int(saved.SampleAt(saved.Row(y), i % size_t(4 * width)) / 257);
                const int out = back[i] / 257;
                if (i % 4 == 3) {
                    EXPECT_NEAR(out, in, 8) << shown << " alpha at " << x << ", " << y;
                } else if (x % 2 == 0) {
                    squares += double((in - out) * (in - out)), ++samples;
                }
            }
            EXPECT_GE(10 * std::log10(255.0 * 255.0 * double(samples) / std::max(squares, 1.0)), 30) << shown;
        }
}

// An animation written and read back: every frame's pixels (the picture itself left as it was), the delays as
// each format holds them (GIF in centiseconds: the nearest, never 0 for a delay that is not; TIFF none, read
// as 100 ms each once written to a format with delays) and the loop count (a GIF that plays once has none). A
// GIF shares one global palette only when all frames' colours fit in it; each frame is exact either way.
TEST(Frames, KeepTheirPixelsTimingAndLoopsThroughEachWriter) {
    const struct {
        ImageType Type;
        const char* Name;
        uint32_t Loops;
        bool OneColourSet;  // every frame in the same 100 colours, else 100 of its own
        std::vector<uint32_t> DelaysBack;
    } rows[] = {
        {ImageTypeGif, "x.gif", 3, true, {0, 10, 20}},   {ImageTypeGif, "x.gif", 1, false, {0, 10, 20}},
        {ImageTypeWebp, "x.webp", 0, false, {0, 4, 15}}, {ImageTypeTiff, "x.tif", 0, false, {}},
        {ImageTypeJxl, "x.jxl", 2, false, {0, 4, 15}},
    };
    for (const auto& row : rows) {
        Picture picture;
        picture.Frames.clear();
        for (uint32_t k = 0; k < 3; ++k) {
            auto frame = std::make_unique<PictureFrame>();
            ASSERT_TRUE(frame->Samples.Create(20, 10, 3, 255));
            for (uint32_t i = 0; i < 200; ++i) {
                const uint32_t colour = i % 100 + (row.OneColourSet ? 0 : 100 * k);
                const uint8_t pixel[3] = {uint8_t(colour), uint8_t(colour / 256 * 60),
                                          uint8_t(colour % 7 * 30)};
                std::memcpy(frame->Samples.Row(int32_t(i / 20)) + 3 * (i % 20), pixel, 3);
            }
            picture.Frames.push_back(std::move(frame));
        }
        picture.Timing.DelayMs = {0, 4, 15};
        picture.Timing.Loops = row.Loops;
        ScratchDir dir;
        const std::string path = dir / row.Name;
        ASSERT_TRUE(SavePictureFrames(picture, row.Type, path.c_str(), 100, nullptr)) << row.Name;
        const int descriptor = open(path.c_str(), O_RDONLY);
        struct stat status {};
        fstat(descriptor, &status);
        LoadOptions options;
        options.AllFrames = true;
        Picture back;
        ASSERT_TRUE(LoadPictureFrames(descriptor, uint64_t(status.st_size), path.c_str(), back, nullptr,
                                      options, 3, 255)
                        .Ok());
        close(descriptor);
        ASSERT_EQ(back.FrameCount(), 3u) << row.Name;
        for (size_t k = 0; k < 3; ++k) {
            const FCSampleImage& in = picture.Frames[k]->Samples;
            const FCSampleImage& out = back.Frames[k]->Samples;
            EXPECT_EQ(std::memcmp(in.Samples, out.Samples, in.RowBytes() * 10), 0) << row.Name << " " << k;
        }
        EXPECT_EQ(back.Timing.DelayMs, row.DelaysBack) << row.Name;
        if (row.Type != ImageTypeTiff) {
            EXPECT_EQ(back.Timing.Loops, row.Loops) << row.Name;
        }
        const std::vector<uint8_t> file = ReadFile(path);
        if (row.Type == ImageTypeGif) {
            EXPECT_EQ((file[10] & 0x80) != 0, row.OneColourSet) << "global palette";
        }
    }
}

}  // namespace

// Decision: TGA attribute bits are alpha unless a TGA 2.0 extension area says they hold none, or
// they are 0 everywhere (what writers leave who use no alpha); premultiplied colour is taken back.
TEST(AlphaDepth, TgaAttributeBitsAreAlphaWhereTheFileSaysSo) {
    const std::vector<uint8_t> file = ReadFile(DataPath("tga/pillow/common/200x32_rgba_tl_raw.tga"));
    const size_t pixels = size_t(file[0]) + 18, footer = file.size() - 26, count = 200 * 32;
    const struct {
        int type;  // of the extension area put before the footer; -1: none
        bool zeroAlpha;
        uint32_t channels;
    } rows[] = {{-1, false, 4}, {0, false, 3}, {2, false, 3}, {3, false, 4}, {4, false, 4}, {-1, true, 3}};
    for (const auto& row : rows) {
        std::vector<uint8_t> bytes(file.begin(), file.begin() + std::ptrdiff_t(footer));
        std::vector<uint8_t> tail(file.begin() + std::ptrdiff_t(footer), file.end());
        for (size_t i = 0; row.zeroAlpha && i < count; ++i) bytes[pixels + 4 * i + 3] = 0;
        if (row.type >= 0) {
            Bytes extension;
            extension.U16(495).Fill(492, 0).U8(uint32_t(row.type));
            Bytes offset;
            offset.U32(uint32_t(bytes.size()));
            bytes.insert(bytes.end(), extension.v.begin(), extension.v.end());
            std::copy(offset.v.begin(), offset.v.end(), tail.begin());
        }
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        FCImageHandle_Tga codec;
        codec.Options.KeepAlpha = true;
        ASSERT_TRUE(codec.LoadMemory(bytes.data(), int32_t(bytes.size()))) << row.type;
        FCSampleImage samples;
        HandedOver(codec, samples);
        ASSERT_EQ(samples.Channels, row.channels) << row.type;
        size_t mismatches = 0;
        for (size_t i = 0; i < count * row.channels; ++i) {
            const uint8_t* p = &bytes[pixels + 4 * (i / row.channels)];
            const uint32_t c = i % row.channels, a = p[3], v = c == 3 ? a : p[2 - c];
            const uint32_t expected = row.type != 4 || c == 3 ? v
                                      : a == 0                ? 0
                                                              : std::min(255u, (v * 255 + a / 2) / a);
            mismatches += samples.Samples[i] != expected;
        }
        EXPECT_EQ(mismatches, 0u) << row.type;
    }
}

namespace {

// A picture is transparent when some alpha sample is below its largest value, whatever the
// number of samples its reader decodes: each row is a file and that verdict.
struct Verdict {
    const char* name;
    std::function<std::vector<uint8_t>(const ScratchDir&)> make;
    bool transparent;
    friend void PrintTo(const Verdict& v, std::ostream* out) { *out << v.name; }
};

// A 2 x 1 picture of four 8-bit samples a pixel, the second pixel's alpha as given, saved by our
// own writer of the format name names.
std::vector<uint8_t> Saved(const ScratchDir& dir, const std::string& name, uint8_t alpha) {
    FCSampleImage samples;
    samples.Create(2, 1, 4, 255);
    const uint8_t pixels[8] = {10, 20, 30, 255, 40, 50, 60, alpha};
    std::copy(pixels, pixels + 8, samples.Row(0));
    const std::string path = dir / name;
    SaveSamplesFile(samples, GetImageHandleFactory()->GetImageType(path.c_str()), path.c_str(), -1, nullptr);
    return ReadFile(path);
}

void PutU16(std::vector<uint8_t>& b, uint32_t v) {
    b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)});
}
void PutU32(std::vector<uint8_t>& b, uint32_t v) {
    PutU16(b, v & 0xFFFF), PutU16(b, v >> 16);
}

// A 2 x 1 bit-field BMP whose header holds an alpha mask (0xFF000000), alpha as given.
std::vector<uint8_t> MaskedBmp(uint8_t alpha) {
    std::vector<uint8_t> b = {'B', 'M'};
    PutU32(b, 14 + 56 + 8), PutU32(b, 0), PutU32(b, 14 + 56);
    PutU32(b, 56), PutU32(b, 2), PutU32(b, 1), PutU16(b, 1), PutU16(b, 32), PutU32(b, 3), PutU32(b, 8);
    PutU32(b, 2835), PutU32(b, 2835), PutU32(b, 0), PutU32(b, 0);
    PutU32(b, 0x00FF0000), PutU32(b, 0x0000FF00), PutU32(b, 0x000000FF), PutU32(b, 0xFF000000);
    for (int x = 0; x < 2; ++x) b.insert(b.end(), {30, 20, 10, alpha});
    return b;
}

// A 32-bit TGA with 8 attribute bits, alpha as given.
std::vector<uint8_t> AttributeTga(uint8_t alpha) {
    return {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 1, 0, 32, 0x28, 30, 20, 10, alpha, 30, 20, 10, alpha};
}

// An uncompressed 2 x 1 RGB TIFF with two extra samples, unspecified then straight alpha
// (ExtraSamples 0, 2), the alpha as given.
std::vector<uint8_t> TiffAlphaSecond(uint8_t alpha) {
    std::vector<uint8_t> b = {'I', 'I', 42, 0};
    const uint32_t bitsAt = 8, pixelsAt = 18, ifdAt = 28;
    PutU32(b, ifdAt);
    for (int s = 0; s < 5; ++s) PutU16(b, 8);
    for (int x = 0; x < 2; ++x) b.insert(b.end(), {10, 20, 30, 99, alpha});
    const uint32_t entries[][4] = {
        {256, 3, 1, 2},        {257, 3, 1, 1}, {258, 3, 5, bitsAt}, {259, 3, 1, 1},  {262, 3, 1, 2},
        {273, 4, 1, pixelsAt}, {277, 3, 1, 5}, {278, 3, 1, 1},      {279, 4, 1, 10}, {338, 3, 2, 2u << 16}};
    PutU16(b, 10);
    for (const auto& e : entries) PutU16(b, e[0]), PutU16(b, e[1]), PutU32(b, e[2]), PutU32(b, e[3]);
    PutU32(b, 0);
    return b;
}

// A file of the test data, as it is.
std::function<std::vector<uint8_t>(const ScratchDir&)> Committed(const char* relative) {
    return [relative](const ScratchDir&) { return ReadFile(DataPath(relative)); };
}

const Verdict kVerdicts[] = {
    {"rgb16.png", Committed("png/pngsuite/basn2c16.png"), false},
    {"opaque.png", [](const ScratchDir& d) { return Saved(d, "o.png", 255); }, false},
    {"opaque.tif", [](const ScratchDir& d) { return Saved(d, "o.tif", 255); }, false},
    {"opaque.pam", [](const ScratchDir& d) { return Saved(d, "o.pam", 255); }, false},
    {"opaque.tga", [](const ScratchDir& d) { return Saved(d, "o.tga", 255); }, false},
    {"half.pam", [](const ScratchDir& d) { return Saved(d, "h.pam", 128); }, true},
    {"half.tga", [](const ScratchDir&) { return AttributeTga(128); }, true},
    {"zero.tga", [](const ScratchDir&) { return AttributeTga(0); }, false},
    {"half.bmp", [](const ScratchDir&) { return MaskedBmp(128); }, true},
    {"zero.bmp", [](const ScratchDir&) { return MaskedBmp(0); }, false},
    {"second.tif", [](const ScratchDir&) { return TiffAlphaSecond(128); }, true},
    {"uncovered.gif", Committed("gif/wuffs/artificial/background-color.gif"), true},
};

class TransparencyVerdict : public ::testing::TestWithParam<Verdict> {};

TEST_P(TransparencyVerdict, IsWhatTheSamplesShow) {
    ScratchDir dir;
    const Verdict& row = GetParam();
    const std::string path = dir / (std::string("in-") + row.name);
    WriteFile(path, row.make(dir));
    FCSampleImage none, samples;
    LoadOptions options;
    const LoadResult one = LoadThrough(path, options, none, nullptr, 0, 0);
    ASSERT_TRUE(one.Ok()) << row.name << ": " << one.Detail;
    EXPECT_EQ(std::count(one.Warnings.begin(), one.Warnings.end(), warning::kTransparency),
              row.transparent ? 1 : 0)
        << row.name;
    options.KeepAlpha = true;
    const LoadResult two = LoadThrough(path, options, samples, nullptr, 4, 255);
    ASSERT_TRUE(two.Ok()) << row.name << ": " << two.Detail;
    EXPECT_EQ(two.Transparent, row.transparent) << row.name;
    // Alpha that counts as none is opaque in the samples too: the picture is not invisible.
    EXPECT_EQ(HasTransparentSample(samples), row.transparent) << row.name;
}

INSTANTIATE_TEST_SUITE_P(AlphaDepth, TransparencyVerdict, ::testing::ValuesIn(kVerdicts),
                         NamedBy<&Verdict::name>());

}  // namespace

namespace {

// Every committed file of the formats that keep grey, and the first bytes of the grey ones, loads
// the same with grey kept as without: refused alike, or the same samples (grey spread over the
// colour), held in one or two channels exactly where the file is grey.
TEST(GreyKept, EveryFileLoadsAsItDoesAsColour) {
    ScratchDir dir;
    size_t grey = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(DataPath(""))) {
        const std::string path = entry.path().string(), extension = GetFileExtension(path.c_str());
        if (!entry.is_regular_file() || path.find("/reference/") != std::string::npos ||
            (ItemsKept(GetImageHandleFactory()->GetImageType(path.c_str())) & ItemGrey) == 0)
            continue;
        const std::vector<uint8_t> whole = ReadFile(path);
        for (const size_t size : {whole.size(), whole.size() / 2, whole.size() * 9 / 10}) {
            const std::string cut = dir / ("cut." + extension);
            WriteFile(cut, std::vector<uint8_t>(whole.begin(), whole.begin() + long(size)));
            LoadOptions options;
            options.KeepAlpha = true;
            FCSampleImage colour, kept;
            const bool loaded = LoadThrough(cut, options, colour, nullptr, 4, 65535).Ok();
            options.KeepGrey = true;
            ASSERT_EQ(LoadThrough(cut, options, kept, nullptr, 4, 65535).Ok(), loaded) << path << " " << size;
            if (!loaded) continue;
            grey += kept.Channels == 2 ? 1 : 0;
            EXPECT_EQ(ToRgba16(kept), ToRgba16(colour)) << path << " " << size;
            if (kept.Channels == 4) break;
        }
    }
    EXPECT_GT(grey, 50u);
}

}  // namespace
