// PNG and JPEG codecs: every depth survives a PNG round trip, JPEG quality picks the standard tables
// scaled to it and the chroma sampling, and damaged, cut or oversized files are refused before pixel memory
// is taken.
#include <fcntl.h>
#include <turbojpeg.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "CodecTestSupport.h"
#include "ImageHandle_Jpeg.h"
#include "ImageHandle_Png.h"
#include "MetadataOutput.h"
#include "PictureWarnings.h"
#include "PixelLimit.h"

using namespace codectest;

namespace {

constexpr size_t kEndChunkBytes = 12;

template <class Codec>
bool Save(const FCObjImage& image, const std::string& path, int32_t flag) {
    Codec codec;
    codec.SaveList.push_back(&image);
    return codec.SaveFile(path.c_str(), flag);
}

std::unique_ptr<FCObjImage> LoadFile(const std::string& path) {
    auto image = std::make_unique<FCObjImage>();
    return image->LoadFromFile(path.c_str()) ? std::move(image) : nullptr;
}

double MeanAbsoluteError(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) sum += std::abs(int(a[i]) - int(b[i]));
    return a.empty() ? 0 : sum / double(a.size());
}

// Entries 0, 1 and 63 (zigzag order) of the standard luminance and chrominance tables.
constexpr int kStandardSamples[2][3] = {{16, 11, 99}, {17, 18, 99}};

std::vector<int> ScaledStandardSamples(int quality) {
    const int scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
    std::vector<int> samples;
    for (const auto& table : kStandardSamples)
        for (int base : table) samples.push_back(std::clamp((base * scale + 50) / 100, 1, 255));
    return samples;
}

// The same entries of the file's first two 8-bit quantisation tables, wherever they are defined.
std::vector<int> QuantisationSamples(const std::vector<uint8_t>& file) {
    std::vector<int> samples;
    for (size_t at = 2; at + 4 <= file.size() && file[at] == 0xFF && file[at + 1] != 0xDA;) {
        const size_t length = size_t(file[at + 2]) << 8 | file[at + 3];
        for (size_t t = at + 4; file[at + 1] == 0xDB && t + 65 <= at + 2 + length && samples.size() < 6;
             t += 65)
            samples.insert(samples.end(), {file[t + 1], file[t + 2], file[t + 64]});
        at += 2 + length;
    }
    return samples;
}

}  // namespace

TEST(PngCodec, EveryDepthRoundTripsWithTheSameColours) {
    struct Case {
        int32_t w, h;
        uint16_t bpp;
        bool bitFields;
    };
    const Case cases[] = {{13, 7, 1, false},  {13, 7, 4, false}, {13, 7, 8, false},
                          {13, 7, 16, false}, {13, 7, 16, true}, {13, 7, 24, false},
                          {13, 7, 32, false}, {1, 1, 24, false}, {301, 2, 24, false}};
    ScratchDir dir;
    for (const Case& c : cases) {
        const FCObjImage image = RandomImage(c.w, c.h, c.bpp, c.bitFields);
        const std::string path = dir.File("x.png");
        ASSERT_TRUE(Save<FCImageHandle_Png>(image, path, -1)) << c.bpp;
        const auto back = Decode<FCImageHandle_Png>(ReadFile(path));
        ASSERT_TRUE(back) << c.bpp;
        EXPECT_EQ(back->InfoHeader.biBitCount, 24);
        EXPECT_EQ(Rgb(*back), Rgb(image)) << c.w << "x" << c.h << " at " << c.bpp;
        EXPECT_EQ(image.InfoHeader.biBitCount, c.bpp);  // the saved image is not widened
    }
}

TEST(PngReader, EveryCutOrFlippedFileIsRefused) {
    for (const char* name : {"png/pngsuite/basn2c08.png", "png/pngsuite/basi0g16.png",
                             "png/pngsuite/s01i3p01.png", "png/pngsuite/oi4n2c16.png"}) {
        const std::vector<uint8_t> whole = ReadFile(DataPath(name));
        ASSERT_TRUE(Decode<FCImageHandle_Png>(whole)) << name;
        // Cut anywhere before the end chunk: a file without it may have lost image data too. The
        // refusal says why.
        for (size_t n = 0; n < whole.size() - kEndChunkBytes; ++n) {
            const std::vector<uint8_t> prefix(whole.begin(), whole.begin() + n);
            FCImageHandle_Png codec;
            EXPECT_FALSE(codec.LoadMemory(prefix.data(), int32_t(n))) << name << " " << n;
            EXPECT_NE(codec.Result.Detail, "") << name << " " << n;
        }
        // A changed byte anywhere after the signature breaks a checksum.
        for (size_t at = 8; at < whole.size(); at += 7) {
            std::vector<uint8_t> changed = whole;
            changed[at] ^= 0x10;
            EXPECT_FALSE(Decode<FCImageHandle_Png>(changed)) << name << " byte " << at;
        }
    }
}

// Each file claims 26000 x 26000 pixels (2 GB at 24 bits) in a few dozen bytes.
TEST(PixelLimit, ClaimedSizesAreRefusedBeforePixelMemory) {
    for (const char* name : {"regress/png-claims-26000x26000.png", "regress/gif-claims-26000x26000.gif",
                             "regress/jpeg-cut-claims-26000x26000.jpg"}) {
        FCObjImage image;
        const std::string path = DataPath(name);
        const std::vector<uint8_t> bytes = ReadFile(path);
        std::unique_ptr<FCImageHandleBase> codec =
            GetImageHandleFactory()->CreateImageHandle(GetImageHandleFactory()->GetImageType(path.c_str()));
        ASSERT_TRUE(codec) << name;
        EXPECT_FALSE(codec->LoadMemory(bytes.data(), int32_t(bytes.size()))) << name;
        EXPECT_EQ(codec->Result.Status, LoadStatus::OverPixelLimit) << name;
        EXPECT_EQ(codec->Result.Width, 26000u) << name;
        EXPECT_EQ(codec->Result.Height, 26000u) << name;
    }
}

TEST(JpegWriter, QualityChoosesTablesAndChroma) {
    const auto source = LoadFile(DataPath("bmp/wuffs/bricks-color.bmp"));
    ASSERT_TRUE(source);
    struct Case {
        int32_t flag, quality, subsampling;
    };
    const Case cases[] = {{-1, 92, TJSAMP_444}, {100, 100, TJSAMP_444}, {90, 90, TJSAMP_444},
                          {89, 89, TJSAMP_420}, {50, 50, TJSAMP_420},   {1, 1, TJSAMP_420}};
    ScratchDir dir;
    for (int32_t flag : {0, 101, -2}) EXPECT_FALSE(source->SaveToFile(dir.File("no.jpg").c_str(), flag));
    EXPECT_EQ(dir.EntryCount(), 0u);
    const std::string path = dir.File("x.jpg");
    for (const Case& c : cases) {
        ASSERT_TRUE(source->SaveToFile(path.c_str(), c.flag)) << c.flag;
        const std::vector<uint8_t> file = ReadFile(path);
        tjhandle tj = tjInitDecompress();
        int w = 0, h = 0, subsampling = -1, colorspace = -1;
        EXPECT_EQ(0, tjDecompressHeader3(tj, file.data(), file.size(), &w, &h, &subsampling, &colorspace));
        tjDestroy(tj);
        EXPECT_EQ(subsampling, c.subsampling) << c.flag;
        EXPECT_EQ(w, 160);
        EXPECT_EQ(h, 120);
        // The standard tables scaled to the quality, as the IJG scaling gives them.
        EXPECT_EQ(QuantisationSamples(file), ScaledStandardSamples(c.quality)) << c.flag;
    }
}

TEST(JpegWriter, BestQualityReadsBackCloseAtEveryDepth) {
    ScratchDir dir;
    const auto photo = LoadFile(DataPath("bmp/wuffs/hippopotamus.bmp"));
    ASSERT_TRUE(photo);
    const std::string path = dir.File("x.JPEG");
    ASSERT_TRUE(photo->SaveToFile(path.c_str(), 100));
    const auto back = LoadFile(path);
    ASSERT_TRUE(back);
    EXPECT_LT(MeanAbsoluteError(Rgb(*back), Rgb(*photo)), 1.0);
    // Palette and 16-bit pictures are widened on the way out; the image itself stays as it was.
    for (uint16_t bpp : {8, 16}) {
        FCObjImage narrow;
        ASSERT_TRUE(narrow.Create(photo->InfoHeader.biWidth, photo->InfoHeader.biHeight, bpp));
        for (int32_t y = 0; y < narrow.InfoHeader.biHeight; ++y)
            for (int32_t i = 0; i < narrow.Stride(); ++i) narrow.RowTable[y][i] = uint8_t(y * 9 + i / 6);
        ASSERT_TRUE(narrow.SaveToFile(path.c_str(), 100)) << bpp;
        EXPECT_EQ(narrow.InfoHeader.biBitCount, bpp);
        const auto wide = LoadFile(path);
        ASSERT_TRUE(wide) << bpp;
        EXPECT_LT(MeanAbsoluteError(Rgb(*wide), Rgb(narrow)), 1.0) << bpp;
    }
}

namespace {

// A profile header naming its colour space, filled out with a pattern that compresses well, as a
// printer profile's tables do.
std::vector<uint8_t> Profile(size_t size, const char* space = "RGB ") {
    std::vector<uint8_t> profile(size);
    for (size_t i = 0; i < size; ++i) profile[i] = uint8_t(i / 97);
    std::memcpy(profile.data() + 16, space, 4);
    return profile;
}

// Little-endian TIFF: IFD0 (Orientation, the EXIF IFD pointer, then IFD1 at 68), the EXIF IFD at 38
// with PixelXDimension 13 (LONG) and PixelYDimension 7 (SHORT), an empty IFD1.
std::vector<uint8_t> ExifBlock(uint16_t orientation) {
    Bytes b;
    b.U8('I').U8('I').U16(42).U32(8).U16(2);
    b.U16(0x0112).U16(3).U32(1).U16(orientation).U16(0).U16(0x8769).U16(4).U32(1).U32(38).U32(68);
    b.U16(2).U16(0xA002).U16(4).U32(1).U32(13).U16(0xA003).U16(3).U32(1).U16(7).U16(0).U32(0);
    b.U16(0).U32(0);
    return b.v;
}

// The block as a writer puts it out: the next-IFD offset of IFD0 (at 34) cleared.
std::vector<uint8_t> WithoutThumbnailLink(std::vector<uint8_t> exif) {
    std::fill(exif.begin() + 34, exif.begin() + 38, 0);
    return exif;
}

PictureMetadata SampleMetadata(size_t profileBytes) {
    PictureMetadata metadata;
    metadata.IccProfile = Profile(profileBytes);
    metadata.Exif = ExifBlock(6);
    metadata.Orientation = 6;
    const std::string xmp = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rating>4</rating></x:xmpmeta>";
    metadata.Xmp.assign(xmp.begin(), xmp.end());
    return metadata;
}

LoadResult LoadWithMetadata(const std::string& path, FCObjImage& image, PictureMetadata& metadata) {
    const std::vector<uint8_t> bytes = ReadFile(path);
    const int descriptor = open(path.c_str(), O_RDONLY);
    const LoadResult result = LoadPictureFile(descriptor, bytes.size(), path.c_str(), image, &metadata);
    close(descriptor);
    return result;
}

struct Segment {
    size_t At;
    uint8_t Marker;
    size_t Bytes;  // marker and length included
};

std::vector<Segment> JpegSegments(const std::vector<uint8_t>& file) {
    std::vector<Segment> segments;
    for (size_t at = 2; at + 4 <= file.size() && file[at] == 0xFF && file[at + 1] != 0xDA;) {
        const size_t bytes = 2 + (size_t(file[at + 2]) << 8 | file[at + 3]);
        segments.push_back({at, file[at + 1], bytes});
        at += bytes;
    }
    return segments;
}

size_t NthSegment(const std::vector<uint8_t>& file, uint8_t marker, int n = 0) {
    for (const Segment& s : JpegSegments(file))
        if (s.Marker == marker && n-- == 0) return s.At;
    return 0;
}

// The offset of a PNG chunk's length field, or 0.
size_t PngChunk(const std::vector<uint8_t>& file, const char* type) {
    for (size_t at = 8; at + 8 <= file.size();) {
        if (std::memcmp(&file[at + 4], type, 4) == 0) return at;
        at += 12 + (size_t(file[at]) << 24 | size_t(file[at + 1]) << 16 | size_t(file[at + 2]) << 8 |
                    file[at + 3]);
    }
    return 0;
}

void FixPngChecksum(std::vector<uint8_t>& file, size_t chunk) {
    const size_t length = size_t(file[chunk]) << 24 | size_t(file[chunk + 1]) << 16 |
                          size_t(file[chunk + 2]) << 8 | file[chunk + 3];
    const uint32_t crc = uint32_t(crc32(0, &file[chunk + 4], uInt(length + 4)));
    for (int i = 0; i < 4; ++i) file[chunk + 8 + length + size_t(i)] = uint8_t(crc >> (24 - 8 * i));
}

// A chunk of the type and body, with its checksum, put in at the offset at.
void InsertPngChunk(std::vector<uint8_t>& file, size_t at, const char* type,
                    const std::vector<uint8_t>& body) {
    std::vector<uint8_t> chunk = {uint8_t(body.size() >> 24), uint8_t(body.size() >> 16),
                                  uint8_t(body.size() >> 8), uint8_t(body.size())};
    chunk.insert(chunk.end(), type, type + 4);
    chunk.insert(chunk.end(), body.begin(), body.end());
    chunk.resize(chunk.size() + 4);
    file.insert(file.begin() + long(at), chunk.begin(), chunk.end());
    FixPngChecksum(file, at);
}

// The first chunk of the type, which the file has, replaced by one with this body.
void ReplacePngChunk(std::vector<uint8_t>& file, const char* type, const std::vector<uint8_t>& body) {
    const size_t at = PngChunk(file, type);
    ASSERT_NE(at, 0u) << type;
    const size_t length =
        size_t(file[at]) << 24 | size_t(file[at + 1]) << 16 | size_t(file[at + 2]) << 8 | file[at + 3];
    file.erase(file.begin() + long(at), file.begin() + long(at + 12 + length));
    InsertPngChunk(file, at, type, body);
}

// A keyword (its zero included) and the other fields before a zlib stream, then the stream.
std::vector<uint8_t> Deflated(const std::string& fields, const std::vector<uint8_t>& bytes) {
    uLongf size = compressBound(uLong(bytes.size()));
    std::vector<uint8_t> body(fields.begin(), fields.end());
    body.resize(fields.size() + size);
    compress2(&body[fields.size()], &size, bytes.data(), uLong(bytes.size()), Z_BEST_SPEED);
    body.resize(fields.size() + size);
    return body;
}

}  // namespace

// Each pair of formats that carries metadata, through two saves: the bytes come back as written,
// the EXIF without its thumbnail link; resolution crosses JFIF dots per inch and pHYs metres.
TEST(Metadata, ProfileExifXmpAndResolutionCrossJpegAndPng) {
    struct Case {
        const char* in;
        const char* out;
        size_t profileBytes;
    };
    // 70 KB: a printer profile, in two JPEG chunks, and larger than its compressed PNG file.
    const Case cases[] = {{"jpg", "jpg", 3000}, {"jpg", "png", 3000},  {"png", "jpg", 3000},
                          {"png", "png", 3000}, {"png", "jpg", 70000}, {"jpg", "png", 200000},
                          {"png", "bmp", 3000}};
    ScratchDir dir;
    for (const Case& c : cases) {
        FCObjImage image = RandomImage(13, 7, 24);
        image.InfoHeader.biXPelsPerMeter = 11811;  // 300 dpi
        image.InfoHeader.biYPelsPerMeter = 5906;   // 150 dpi
        const PictureMetadata sent = SampleMetadata(c.profileBytes);
        const std::string first = dir.File(std::string("a.") + c.in);
        const std::string second = dir.File(std::string("b.") + c.out);
        ASSERT_TRUE(SavePictureFile(image, first.c_str(), 100, &sent)) << c.in;
        FCObjImage middle;
        PictureMetadata kept;
        ASSERT_TRUE(LoadWithMetadata(first, middle, kept).Ok()) << c.in;
        ASSERT_TRUE(SavePictureFile(middle, second.c_str(), 100, &kept)) << c.out;
        FCObjImage back;
        PictureMetadata read;
        const LoadResult result = LoadWithMetadata(second, back, read);
        ASSERT_TRUE(result.Ok()) << c.in << " to " << c.out;
        EXPECT_TRUE(result.Warnings.empty()) << result.Warnings.front();
        EXPECT_EQ(back.InfoHeader.biXPelsPerMeter, 11811) << c.in << " to " << c.out;
        EXPECT_EQ(back.InfoHeader.biYPelsPerMeter, 5906) << c.in << " to " << c.out;
        if (std::string(c.out) == "bmp") continue;
        EXPECT_EQ(read.IccProfile, sent.IccProfile) << c.in << " to " << c.out << " " << c.profileBytes;
        EXPECT_EQ(read.Exif, WithoutThumbnailLink(sent.Exif)) << c.in << " to " << c.out;
        EXPECT_EQ(read.Xmp, sent.Xmp) << c.in << " to " << c.out;
        EXPECT_EQ(read.Orientation, 6) << c.in << " to " << c.out;
    }
}

// The writer makes the EXIF tag say what the record says; 5 to 8 also swap the pixel dimensions.
TEST(Metadata, TurnedPicturesSayOrientationOneWithTheirDimensionsSwapped) {
    for (uint16_t orientation : {3, 6}) {
        PictureMetadata metadata = SampleMetadata(200);
        metadata.Orientation = orientation;
        metadata.Exif = ExifBlock(orientation);
        MarkMetadataTurned(metadata);
        ScratchDir dir;
        const FCObjImage image = RandomImage(7, 13, 24);
        ASSERT_TRUE(SavePictureFile(image, dir.File("x.jpg").c_str(), -1, &metadata));
        FCObjImage back;
        PictureMetadata read;
        ASSERT_TRUE(LoadWithMetadata(dir.File("x.jpg"), back, read).Ok());
        EXPECT_EQ(read.Orientation, 1) << orientation;
        const std::vector<uint8_t>& e = read.Exif;
        ASSERT_EQ(e.size(), 74u);
        const bool swapped = orientation >= 5;
        EXPECT_EQ(e[42] | e[43] << 8, swapped ? 0x3 : 0x4) << orientation;  // PixelX's type
        EXPECT_EQ(e[48], swapped ? 7 : 13) << orientation;
        EXPECT_EQ(e[60], swapped ? 13 : 7) << orientation;
    }
}

// Damage in one item, or more bytes than are kept, costs that item and says so in one warning;
// large items within the limits load whole, and the picture and the other items load as they were.
TEST(Metadata, DamagedOrOverlargeItemsAreLeftOutWithOneWarningAndLargeOnesKept) {
    using Edit = std::function<void(std::vector<uint8_t>&)>;
    struct Case {
        const char* name;
        const char* format;
        Edit edit;
        bool profileKept, exifKept;
        const char* warning;  // empty: none
        bool xmpKept = true;
    };
    // A profile header filled out with zeros to size bytes, as the iCCP chunk's body.
    auto iccOf = [](size_t size) {
        return [size](std::vector<uint8_t>& f) {
            std::vector<uint8_t> profile = Profile(128);
            profile.resize(size);
            ReplacePngChunk(f, "iCCP", Deflated(std::string("icc\0\0", 5), profile));
        };
    };
    auto tiffAt = [](const std::vector<uint8_t>& f) { return NthSegment(f, 0xE1) + 10; };
    auto pngExif = [](std::vector<uint8_t>& f, size_t at, uint8_t value) {
        const size_t chunk = PngChunk(f, "eXIf");
        f[chunk + 8 + at] = value;
        FixPngChecksum(f, chunk);
    };
    const Case cases[] = {
        {"ICC chunk missing", "jpg",
         [](std::vector<uint8_t>& f) {
             const size_t at = NthSegment(f, 0xE2, 1);
             f.erase(f.begin() + long(at), f.begin() + long(at + 2 + (f[at + 2] << 8 | f[at + 3])));
         },
         false, true, "damaged colour profile"},
        {"ICC chunk doubled", "jpg",
         [](std::vector<uint8_t>& f) {
             const size_t at = NthSegment(f, 0xE2, 0);
             const std::vector<uint8_t> copy(f.begin() + long(at),
                                             f.begin() + long(at + 2 + (f[at + 2] << 8 | f[at + 3])));
             f.insert(f.begin() + long(at), copy.begin(), copy.end());
         },
         false, true, "damaged colour profile"},
        {"ICC chunk count 0", "jpg", [](std::vector<uint8_t>& f) { f[NthSegment(f, 0xE2, 0) + 17] = 0; },
         false, true, "damaged colour profile"},
        {"IFD0 past the end", "jpg", [&](std::vector<uint8_t>& f) { f[tiffAt(f) + 5] = 0xFF; }, true, false,
         "damaged EXIF"},
        {"entry count past the end", "jpg", [&](std::vector<uint8_t>& f) { f[tiffAt(f) + 9] = 0x40; }, true,
         false, "damaged EXIF"},
        {"EXIF not TIFF", "png", [&](std::vector<uint8_t>& f) { pngExif(f, 0, 'X'); }, true, false,
         "damaged EXIF"},
        {"iCCP stream broken", "png",
         [](std::vector<uint8_t>& f) {
             const size_t chunk = PngChunk(f, "iCCP");
             f[chunk + 8 + 20] ^= 0x55;
             FixPngChecksum(f, chunk);
         },
         false, true, "damaged colour profile"},
        {"second iCCP", "png",
         [](std::vector<uint8_t>& f) {
             const size_t at = PngChunk(f, "iCCP");
             const size_t bytes = 12 + (size_t(f[at + 2]) << 8 | f[at + 3]);
             const std::vector<uint8_t> copy(f.begin() + long(at), f.begin() + long(at + bytes));
             f.insert(f.begin() + long(at + bytes), copy.begin(), copy.end());
         },
         true, true, "second colour profile"},
        {"iCCP of 10 MB", "png", iccOf(10 << 20), true, true, ""},
        {"iCCP of 12 MB", "png", iccOf(12 << 20), true, true, ""},
        {"iCCP of 15 MB", "png", iccOf(15 << 20), true, true, ""},
        {"iCCP of the most kept", "png", iccOf(kKeptProfileMax), true, true, ""},
        {"iCCP of 17 MB", "png", iccOf(17 << 20), false, true, "colour profile of more than 16707345 bytes"},
        {"2000 tEXt", "png",
         [](std::vector<uint8_t>& f) {
             for (int i = 0; i < 2000; ++i)
                 InsertPngChunk(f, PngChunk(f, "IDAT"), "tEXt", {'C', 0, uint8_t('a' + i % 26)});
         },
         true, true, ""},
        {"XMP of 64 MB, compressed", "png",
         [](std::vector<uint8_t>& f) {
             const std::vector<uint8_t> packet(size_t(64) << 20, ' ');
             ReplacePngChunk(f, "iTXt", Deflated(std::string("XML:com.adobe.xmp\0\1\0\0\0", 22), packet));
         },
         true, true, "XMP packet of more than 16777216 bytes", false},
    };
    ScratchDir dir;
    for (const Case& c : cases) {
        const PictureMetadata sent = SampleMetadata(70000);
        const FCObjImage image = RandomImage(13, 7, 24);
        const std::string path = dir.File(std::string("x.") + c.format);
        ASSERT_TRUE(SavePictureFile(image, path.c_str(), 100, &sent)) << c.name;
        std::vector<uint8_t> file = ReadFile(path);
        c.edit(file);
        WriteFile(path, file);
        FCObjImage back;
        PictureMetadata read;
        const LoadResult result = LoadWithMetadata(path, back, read);
        ASSERT_TRUE(result.Ok()) << c.name << " " << c.format;
        EXPECT_EQ(back.InfoHeader.biWidth, 13) << c.name;
        ASSERT_EQ(result.Warnings.size(), *c.warning ? 1u : 0u) << c.name << " " << c.format;
        if (*c.warning) {
            EXPECT_NE(result.Warnings[0].find(c.warning), std::string::npos) << result.Warnings[0];
        }
        EXPECT_EQ(read.IccProfile.empty(), !c.profileKept) << c.name << " " << c.format;
        EXPECT_EQ(read.Exif.empty(), !c.exifKept) << c.name << " " << c.format;
        EXPECT_EQ(read.Xmp, c.xmpKept ? sent.Xmp : std::vector<uint8_t>()) << c.name << " " << c.format;
    }
}

// What the output cannot carry is dropped at load time, with its reason; --strip drops all quietly.
TEST(Metadata, OutputKeepsWhatItsFormatCarries) {
    struct Case {
        ImageType output;
        bool strip;
        size_t exifBytes;
        const char* space;
        const char* warning;  // empty: none
        bool profileKept, exifKept;
    };
    const Case cases[] = {
        {ImageTypeJpeg, false, 74, "RGB ", "", true, true},
        {ImageTypeJpeg, false, 74, "GRAY", "a GRAY colour profile", false, true},
        {ImageTypePng, false, 74, "CMYK", "a CMYK colour profile", false, true},
        // Too large for JPEG; the orientation goes on in an EXIF block of its own.
        {ImageTypeJpeg, false, 65528, "RGB ", "EXIF of 65528 bytes", true, true},
        {ImageTypePng, false, 65528, "RGB ", "", true, true},
        {ImageTypeBmp, false, 74, "RGB ", "has a colour profile, EXIF and XMP, which", false, false},
        {ImageTypePng, true, 74, "GRAY", "", false, false},
    };
    for (const Case& c : cases) {
        PictureMetadata metadata = SampleMetadata(3000);
        metadata.IccProfile = Profile(3000, c.space);
        metadata.Exif.resize(c.exifBytes);
        const std::vector<std::string> warnings = SettleMetadataForOutput(metadata, false, c.output, c.strip);
        ASSERT_EQ(warnings.size(), *c.warning ? 1u : 0u) << c.output << " " << c.space;
        if (*c.warning) EXPECT_NE(warnings[0].find(c.warning), std::string::npos) << warnings[0];
        EXPECT_EQ(!metadata.IccProfile.empty(), c.profileKept) << c.output << " " << c.space;
        EXPECT_EQ(!metadata.Exif.empty(), c.exifKept) << c.output << " " << c.exifBytes;
    }
}

// What the exchange cannot carry is said: transparency, and frames after the first.
TEST(Metadata, TransparencyAndFramesAreSaid) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"png/pngsuite/basn2c08.png", {}},
        {"png/pngsuite/basn6a08.png", {warning::kTransparency}},
        {"png/pngsuite/tbgn3p08.png", {warning::kTransparency}},
        {"gif/wuffs/animated-red-blue.gif", {warning::kFrames}},
        {"gif/pillow/first_frame_transparency.gif", {warning::kTransparency}},
        {"gif/giflib/treescap.gif", {}},
    };
    for (const auto& [name, warnings] : cases) {
        FCObjImage image;
        PictureMetadata metadata;
        const LoadResult result = LoadWithMetadata(DataPath(name), image, metadata);
        ASSERT_TRUE(result.Ok()) << name;
        EXPECT_EQ(result.Warnings, warnings) << name;
    }
}
