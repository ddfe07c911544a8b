// A picture's metadata through real files: what every reader takes and every written form keeps or
// warns of, the damage the intake cuts out, and what the exchange does not carry.
#include <fcntl.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <tuple>

#include "CodecTestSupport.h"
#include "Descriptions.h"
#include "MetadataOutput.h"
#include "PictureWarnings.h"

using namespace codectest;

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

LoadResult LoadWithMetadata(const std::string& path, FCObjImage& image, PictureMetadata& metadata);

// A profile colour engines can parse (the RGB one of a Pillow JPEG: libjxl refuses any other),
// lengthened to size by a private tag after its own.
std::vector<uint8_t> UsableProfile(size_t size) {
    FCObjImage image;
    PictureMetadata from;
    LoadWithMetadata(DataPath("jpeg/pillow/truncated_app14.jpg"), image, from);
    const std::vector<uint8_t>& p = from.IccProfile;
    constexpr size_t kCountAt = 128, kEntry = 12;
    const auto u32 = [](const uint8_t* b) { return uint32_t(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3]; };
    const auto put = [](uint8_t* b, uint32_t v) {
        for (int i = 0; i < 4; ++i) b[i] = uint8_t(v >> (24 - 8 * i));
    };
    if (p.size() < kCountAt + 4 || size < p.size() + 64) return Profile(size);
    const uint32_t count = u32(&p[kCountAt]);
    const size_t table = kCountAt + 4 + kEntry * count;
    std::vector<uint8_t> out(p.begin(), p.begin() + long(table));
    out.resize(table + kEntry);
    out.insert(out.end(), p.begin() + long(table), p.end());
    out.resize((out.size() + 3) & ~size_t(3));
    for (uint32_t i = 0; i < count; ++i)
        put(&out[kCountAt + 4 + kEntry * i + 4], u32(&p[kCountAt + 4 + kEntry * i + 4]) + 12);
    const size_t tag = out.size();
    std::memcpy(&out[table], "zzzz", 4);
    put(&out[table + 4], uint32_t(tag));
    put(&out[table + 8], uint32_t(size - tag));
    put(&out[kCountAt], count + 1);
    out.resize(size);
    std::memcpy(&out[tag], "zzzz", 4);
    for (size_t i = tag + 8; i < size; ++i) out[i] = uint8_t(i / 97);
    put(&out[0], uint32_t(size));
    return out;
}

PictureMetadata SampleMetadata(size_t profileBytes) {
    PictureMetadata metadata;
    metadata.IccProfile = UsableProfile(profileBytes);
    metadata.Exif = ExifBlock(6);
    metadata.Orientation = 6;
    const std::string xmp = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rating>4</rating></x:xmpmeta>";
    metadata.Xmp.assign(xmp.begin(), xmp.end());
    // Beyond Latin-1 (the dash), so a PNG needs iTXt for it.
    metadata.Descriptions = {{"Description", "Objective 40\xc3\x97, 20 ms \xe2\x80\x94 \xc2\xb5m"}};
    return metadata;
}

// Descriptions as a file of type written reads them back: a JPEG's are all comments.
std::vector<PictureText> AsReadFrom(std::vector<PictureText> texts, ImageType written) {
    for (PictureText& text : texts)
        if (written == ImageTypeJpeg) text.Keyword = "Comment";
    return texts;
}

// What exiftool says of a file's descriptions, "Tag: value" a line.
std::vector<std::string> ExiftoolDescriptions(const std::string& path) {
    const std::string tags =
        "-Description -Author -Copyright -Software -Title -Comment -ImageDescription -Artist";
    FILE* pipe = popen(("exiftool -a -S " + tags + " '" + path + "' 2>&1").c_str(), "r");
    std::vector<std::string> lines;
    for (char line[4096]; pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr;)
        lines.emplace_back(line, std::strcspn(line, "\n"));
    if (pipe != nullptr) pclose(pipe);
    return lines;
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

}  // namespace

namespace {

// A reader and the file it reads: one its format's writer made from the sample, or, for HEIF and
// GIF, which have no writer, a committed file holding the items given.
struct Reader {
    const char* File;      // an extension: written from the sample; else a file of the test data
    uint32_t Holds;        // what the committed file holds
    uint16_t Orientation;  // what the reader says of the picture's orientation
};

struct Writer {
    const char* Extension;
    int32_t Flag;
    double MeanError;  // the largest mean difference of a sample
};

// The sample as it is, or changed so that the settling drops an item the output could keep.
struct Variant {
    const char* Name;
    void (*Edit)(PictureMetadata&, FCObjImage&);
    bool Strip;
    uint32_t Drops;
    std::string Warning;  // what the settling says besides the items the output does not keep
    // exiftool's "Tag: value" lines for the output's descriptions, where the row asks it.
    std::vector<std::string> Exiftool = {};
};

const Reader kJpeg{"jpg", 0, 6}, kPng{"png", 0, 6}, kTiff{"tif", 0, 6};
const Writer kJpegOut{"jpg", 100, 1.5}, kPngOut{"png", -1, 0}, kTiffOut{"tif", -1, 0};
// A palette of 256 colours for the sample's many.
constexpr double kGifMeanError = 4;
// HEVC and AV1 at quality 100 still lose a little, as JPEG does.
constexpr double kHeicMeanError = 1.5;

// The committed files of the formats that have no writer, or whose reader says more than their
// writer keeps, by key. A HEIF (AVIF too) is shown as its own transforms say, whatever its EXIF Orientation
// (6) says.
const std::pair<const char*, Reader> kCommitted[] = {
    {"heif", {"heif/metadata.heic", ItemProfile | ItemExif | ItemXmp | ItemOrientation, 1}},
    {"avif", {"avif/metadata.avif", ItemProfile | ItemExif | ItemXmp | ItemOrientation, 1}},
};

// A written form that takes the colour pictures of this table: PGM takes grey alone.
bool WritesColour(const FormatExtension& e) {
    return e.WrittenAs != nullptr && e.Writes.Count > 0 && e.Writes.Items[0].Colour();
}

const FormatExtension* FirstWritten(const ImageFormat& format) {
    for (size_t i = 0; i < format.ExtensionCount; ++i)
        if (WritesColour(format.Extensions[i])) return &format.Extensions[i];
    return nullptr;
}

// Every format of the table: written from the sample at its first written extension, whose
// orientation (6) it reads back where the file keeps it, or else its committed file. A format with
// neither gives a row that fails, named by its key.
std::vector<Reader> Readers() {
    std::vector<Reader> readers;
    for (const ImageFormat* format = ImageFormats(); format->Name != nullptr; ++format) {
        const auto committed =
            std::find_if(std::begin(kCommitted), std::end(kCommitted),
                         [&](const auto& row) { return std::strcmp(row.first, format->Key) == 0; });
        if (committed != std::end(kCommitted)) {
            readers.push_back(committed->second);
            continue;
        }
        if (const FormatExtension* written = FirstWritten(*format)) {
            const bool oriented = (written->Keeps & format->ReaderTakes & ItemOrientation) != 0;
            readers.push_back({written->Extension, 0, uint16_t(oriented ? 6 : 0)});
            continue;
        }
        Reader reader{format->Key, 0, 0};
        for (const auto& [key, file] : kCommitted)
            if (std::strcmp(key, format->Key) == 0) reader = file;
        readers.push_back(reader);
    }
    return readers;
}

// Every written form at its first extension, a lossy one at its top quality (which only JPEG's
// writer still loses at).
std::vector<Writer> Writers() {
    std::vector<Writer> writers;
    std::string last;
    for (const ImageFormat* format = ImageFormats(); format->Name != nullptr; ++format) {
        for (size_t i = 0; i < format->ExtensionCount; ++i) {
            const FormatExtension& e = format->Extensions[i];
            if (!WritesColour(e) || last == e.WrittenAs) continue;
            last = e.WrittenAs;
            writers.push_back({e.Extension, format->TakesQuality ? 100 : -1,
                               e.Type == ImageTypeJpeg                              ? kJpegOut.MeanError
                               : e.Type == ImageTypeGif                             ? kGifMeanError
                               : e.Type == ImageTypeHeif || e.Type == ImageTypeAvif ? kHeicMeanError
                                                                                    : 0});
        }
    }
    return writers;
}

const Variant kWhole{"", nullptr, false, 0, ""};
const Variant kOrientationAlone{"_orientation_alone",
                                [](PictureMetadata& m, FCObjImage& image) {
                                    m = PictureMetadata{};
                                    m.Orientation = 6;
                                    image.InfoHeader.biXPelsPerMeter = image.InfoHeader.biYPelsPerMeter = 0;
                                },
                                false, 0, ""};
const auto kGrey = [](PictureMetadata& m, FCObjImage&) { m.IccProfile = Profile(3000, "GRAY"); };
const auto kCmyk = [](PictureMetadata& m, FCObjImage&) { m.IccProfile = Profile(3000, "CMYK"); };
const auto kLargeExif = [](PictureMetadata& m, FCObjImage&) { m.Exif.resize(65528); };
// Every kind of description: TIFF's four tags, PNG's keywords besides them, a JPEG's comment.
const auto kEveryDescription = [](PictureMetadata& m, FCObjImage&) {
    m.Descriptions = {{"Description", "Objective 40\xc3\x97"},
                      {"Author", "Ann \xc3\x96"},
                      {"Copyright", "(c) Lab"},
                      {"Software", "Scope 1.2"},
                      {"Title", "Cells"},
                      {"Comment", "Stained"}};
};

uint32_t ItemsOf(const PictureMetadata& m, const FCObjImage& image) {
    const std::pair<bool, uint32_t> has[] = {{!m.IccProfile.empty(), ItemProfile},
                                             {!m.Exif.empty(), ItemExif},
                                             {!m.Xmp.empty(), ItemXmp},
                                             {!m.Descriptions.empty(), ItemDescriptions},
                                             {image.InfoHeader.biXPelsPerMeter > 0, ItemResolution},
                                             {m.Orientation > 1, ItemOrientation}};
    uint32_t items = 0;
    for (const auto& [yes, item] : has) items |= yes ? item : 0u;
    return items;
}

// "a colour profile, EXIF and a resolution", as the warning lists the items.
std::string Words(uint32_t items) {
    std::vector<std::string> words;
    for (const auto& [item, word] : {std::pair<uint32_t, const char*>{ItemProfile, "a colour profile"},
                                     {ItemExif, "EXIF"},
                                     {ItemXmp, "XMP"},
                                     {ItemDescriptions, "a description"},
                                     {ItemResolution, "a resolution"}})
        if ((items & item) != 0) words.push_back(word);
    std::string text;
    for (size_t i = 0; i < words.size(); ++i)
        text += (i == 0 ? "" : i + 1 == words.size() ? " and " : ", ") + words[i];
    return text;
}

ImageType Type(const std::string& path) {
    return GetImageHandleFactory()->GetImageType(path.c_str());
}

size_t Differences(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    size_t count = a.size() > b.size() ? a.size() - b.size() : b.size() - a.size();
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) count += a[i] != b[i];
    return count;
}

double MeanError(const FCObjImage& a, const FCObjImage& b) {
    const std::vector<uint8_t> x = Rgb(a), y = Rgb(b);
    if (x.size() != y.size()) return 255;
    double sum = 0;
    for (size_t i = 0; i < x.size(); ++i) sum += std::abs(int(x[i]) - int(y[i]));
    return x.empty() ? 0 : sum / double(x.size());
}

void PrintTo(const Reader& reader, std::ostream* out) {
    *out << reader.File;
}
void PrintTo(const Writer& writer, std::ostream* out) {
    *out << writer.Extension << " at " << writer.Flag;
}
void PrintTo(const Variant& variant, std::ostream* out) {
    *out << variant.Name;
}

using Row = std::tuple<Reader, Writer, Variant>;
class MetadataTable : public ::testing::TestWithParam<Row> {};

std::string RowName(const ::testing::TestParamInfo<Row>& info) {
    const auto& [reader, writer, variant] = info.param;
    const std::string from = reader.File;
    return from.substr(from.rfind('.') + 1) + "_to_" + writer.Extension + variant.Name;
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

// Every reader and every written form: what the reader takes of what its file holds and what the
// output keeps of that come from the format table; the rest is said in one warning, and an
// orientation the output cannot carry is left for the host to turn. Kept items come back byte for
// byte (EXIF without its thumbnail link), the resolution across JFIF dots per inch and pHYs metres.
TEST_P(MetadataTable, EachItemIsKeptOrSaid) {
    const auto& [reader, writer, variant] = GetParam();
    ScratchDir dir;
    std::string source = DataPath(reader.File);
    uint32_t holds = reader.Holds;
    PictureMetadata sample = SampleMetadata(200000);  // four JPEG chunks of profile
    const bool written = std::strchr(reader.File, '/') == nullptr;
    if (written) {
        FCObjImage picture;
        ASSERT_TRUE(picture.LoadFromFile(DataPath("tiff/rgb8-none.tif").c_str()));
        picture.InfoHeader.biXPelsPerMeter = 11811;  // 300 dpi
        picture.InfoHeader.biYPelsPerMeter = 5906;   // 150 dpi
        if (variant.Edit != nullptr) variant.Edit(sample, picture);
        source = dir / (std::string("in.") + reader.File);
        // Written as the host writes it: what the source's format has no place for is not in it.
        std::vector<std::string> dropped;
        std::vector<size_t> tooLarge;
        SettleDescriptions(sample.Descriptions, Type(source), dropped, tooLarge);
        ASSERT_TRUE(SavePictureFile(picture, source.c_str(), TakesQuality(Type(source)) ? 100 : -1, &sample));
        holds = ItemsOf(sample, picture) & ItemsKept(Type(source));
    }
    FCObjImage in;
    PictureMetadata held;
    const LoadResult loaded = LoadWithMetadata(source, in, held);
    ASSERT_TRUE(loaded.Ok()) << loaded.Detail;
    EXPECT_EQ(loaded.Warnings, std::vector<std::string>());
    const uint32_t taken = holds & FindImageFormat(Type(source))->ReaderTakes;
    EXPECT_EQ(ItemsOf(held, in), taken);
    EXPECT_EQ(held.Orientation, reader.Orientation);
    if (written) {
        EXPECT_EQ(held.IccProfile, (taken & ItemProfile) != 0 ? sample.IccProfile : std::vector<uint8_t>());
        EXPECT_EQ(held.Exif,
                  (taken & ItemExif) != 0 ? WithoutThumbnailLink(sample.Exif) : std::vector<uint8_t>());
        EXPECT_EQ(held.Xmp, (taken & ItemXmp) != 0 ? sample.Xmp : std::vector<uint8_t>());
        EXPECT_EQ(held.Descriptions, (taken & ItemDescriptions) != 0
                                         ? AsReadFrom(sample.Descriptions, Type(source))
                                         : std::vector<PictureText>());
    }

    const ImageType output = Type(std::string("out.") + writer.Extension);
    const uint32_t keeps = ItemsKept(output);
    const bool carried = (keeps & ItemOrientation) != 0 && !variant.Strip;
    EXPECT_EQ(OrientationReachesOutput(held, output, variant.Strip), reader.Orientation <= 1 || carried);
    PictureMetadata settled = held;
    std::vector<std::string> expected;
    if (!variant.Strip && !Words(taken & ~keeps).empty())
        expected.push_back(warning::NotKeptByOutput(Words(taken & ~keeps), FindImageFormat(output)->Name));
    if (!variant.Warning.empty()) expected.push_back(variant.Warning);
    EXPECT_EQ(SettleMetadataForOutput(settled, (taken & ItemResolution) != 0, output, variant.Strip),
              expected);

    const std::string path = dir / (std::string("out.") + writer.Extension);
    ASSERT_TRUE(SavePictureFile(in, path.c_str(), writer.Flag, &settled));
    FCObjImage back;
    PictureMetadata read;
    const LoadResult reloaded = LoadWithMetadata(path, back, read);
    ASSERT_TRUE(reloaded.Ok()) << reloaded.Detail;
    EXPECT_EQ(reloaded.Warnings, std::vector<std::string>());
    const uint32_t kept = taken & keeps & ~variant.Drops;
    // Where EXIF carries the orientation, it goes out in EXIF: the picture's own or that tag alone.
    const uint32_t out = kept | ((kept & ItemOrientation) != 0 && (keeps & ItemExif) != 0 ? ItemExif : 0u);
    EXPECT_EQ(ItemsOf(read, back), out);
    // A HEIF's reader says every file it reads is upright: its own transforms are applied.
    EXPECT_EQ(read.Orientation, carried                                              ? reader.Orientation
                                : output == ImageTypeHeif || output == ImageTypeAvif ? 1
                                                                                     : 0);
    EXPECT_EQ(read.IccProfile, (out & ItemProfile) != 0 ? held.IccProfile : std::vector<uint8_t>());
    EXPECT_EQ(read.Xmp, (out & ItemXmp) != 0 ? held.Xmp : std::vector<uint8_t>());
    EXPECT_EQ(read.Descriptions, AsReadFrom(settled.Descriptions, output));
    // Latin-1 text as tEXt, other text as iTXt: the dash is the fixtures' one character beyond Latin-1.
    const std::vector<uint8_t> file = ReadFile(path);
    for (const PictureText& text :
         output == ImageTypePng ? settled.Descriptions : std::vector<PictureText>()) {
        const std::string chunk =
            (text.Text.find("\xe2\x80\x94") != std::string::npos ? "iTXt" : "tEXt") + text.Keyword + '\0';
        EXPECT_NE(std::search(file.begin(), file.end(), chunk.begin(), chunk.end()), file.end()) << chunk;
    }
    static const bool exiftool = std::system("exiftool -ver >/dev/null 2>&1") == 0;
    if (!variant.Exiftool.empty() && exiftool) {
        EXPECT_EQ(ExiftoolDescriptions(path), variant.Exiftool);
    }
    // Only the orientation's value may change: a HEIF's, which its viewers ignore, goes out as 1.
    if ((kept & ItemExif) != 0) {
        EXPECT_LE(Differences(read.Exif, held.Exif), reader.Orientation == 1 ? 1u : 0u);
    }
    const bool resolution = (out & ItemResolution) != 0;
    EXPECT_EQ(back.InfoHeader.biXPelsPerMeter, resolution ? 11811 : 0);
    EXPECT_EQ(back.InfoHeader.biYPelsPerMeter, resolution ? 5906 : 0);
    EXPECT_LE(MeanError(back, in), writer.MeanError);
}

INSTANTIATE_TEST_SUITE_P(EveryReaderAndWriter, MetadataTable,
                         ::testing::Combine(::testing::ValuesIn(Readers()), ::testing::ValuesIn(Writers()),
                                            ::testing::Values(kWhole)),
                         RowName);
INSTANTIATE_TEST_SUITE_P(TiffWithOnlyItsOrientation, MetadataTable,
                         ::testing::Combine(::testing::Values(kTiff), ::testing::ValuesIn(Writers()),
                                            ::testing::Values(kOrientationAlone)),
                         RowName);
// A profile of another colour space, EXIF too large for a JPEG segment (its orientation goes on
// alone), --strip, and lossy WebP.
INSTANTIATE_TEST_SUITE_P(
    ItemsTheOutputCannotHold, MetadataTable,
    ::testing::Values(
        Row{kJpeg, kJpegOut, {"_grey_profile", kGrey, false, ItemProfile, warning::ProfileNotRgb("a GRAY")}},
        Row{kPng, kPngOut, {"_cmyk_profile", kCmyk, false, ItemProfile, warning::ProfileNotRgb("a CMYK")}},
        Row{kPng,
            kJpegOut,
            {"_large_exif", kLargeExif, false, ItemExif,
             warning::ItemTooLargeForOutput("EXIF", 65528, "JPEG")}},
        Row{kPng, kPngOut, {"_large_exif", kLargeExif, false, 0, ""}},
        Row{kPng,
            kPngOut,
            {"_strip", nullptr, true, ItemProfile | ItemExif | ItemXmp | ItemOrientation | ItemDescriptions,
             ""}},
        Row{kTiff, {"webp", -1, 8}, {"_lossy", nullptr, false, 0, ""}},
        Row{kPng,
            kJpegOut,
            {"_long_description",
             [](PictureMetadata& m, FCObjImage&) { m.Descriptions[0].Text.resize(70000, 'x'); }, false,
             ItemDescriptions, warning::ItemTooLargeForOutput("a description", 70000, "JPEG")}}),
    RowName);
// Each kind of description into each output that holds some, as exiftool reads the output: a PNG
// source holds every kind, a TIFF one its four tags, a JPEG one comments alone.
const std::string kDescribed = "Objective 40\xc3\x97", kAuthor = "Ann \xc3\x96";
Row Every(const Reader& reader, const Writer& writer, const std::string& warning,
          std::vector<std::string> lines) {
    return Row{
        reader, writer, {"_every_description", kEveryDescription, false, 0, warning, std::move(lines)}};
}
std::string NotKept(const std::vector<std::string>& keywords, const char* format) {
    return warning::NotKeptByOutput(warning::DescriptionWords(keywords.size(), keywords), format);
}
INSTANTIATE_TEST_SUITE_P(
    EveryDescriptionKind, MetadataTable,
    ::testing::Values(Every(kPng, kPngOut, "",
                            {"Description: " + kDescribed, "Author: " + kAuthor, "Copyright: (c) Lab",
                             "Software: Scope 1.2", "Title: Cells", "Comment: Stained"}),
                      Every(kPng, kTiffOut, NotKept({"Title", "Comment"}, "TIFF"),
                            {"Copyright: (c) Lab", "Software: Scope 1.2", "ImageDescription: " + kDescribed,
                             "Artist: " + kAuthor}),
                      Every(kPng, kJpegOut, NotKept({"Author", "Copyright", "Software", "Title"}, "JPEG"),
                            {"Comment: " + kDescribed, "Comment: Stained"}),
                      Every(kTiff, kPngOut, "",
                            {"Description: " + kDescribed, "Author: " + kAuthor, "Copyright: (c) Lab",
                             "Software: Scope 1.2"}),
                      Every(kJpeg, kPngOut, "", {"Comment: " + kDescribed, "Comment: Stained"}),
                      // A comment is a TIFF's ImageDescription where no description came; the second is
                      // left out.
                      Every(kJpeg, kTiffOut, NotKept({"Comment"}, "TIFF"),
                            {"ImageDescription: " + kDescribed})),
    RowName);

// The writer makes the EXIF tag say what the record says; 5 to 8 also swap the pixel dimensions.
TEST(Metadata, TurnedPicturesSayOrientationOneWithTheirDimensionsSwapped) {
    for (uint16_t orientation : {3, 6}) {
        PictureMetadata metadata = SampleMetadata(200);
        metadata.Orientation = orientation;
        metadata.Exif = ExifBlock(orientation);
        MarkMetadataTurned(metadata);
        ScratchDir dir;
        const FCObjImage image = RandomImage(7, 13, 24);
        ASSERT_TRUE(SavePictureFile(image, (dir / "x.jpg").c_str(), -1, &metadata));
        FCObjImage back;
        PictureMetadata read;
        ASSERT_TRUE(LoadWithMetadata(dir / "x.jpg", back, read).Ok());
        EXPECT_EQ(read.Orientation, 1) << orientation;
        const std::vector<uint8_t>& e = read.Exif;
        ASSERT_EQ(e.size(), 74u);
        const bool swapped = orientation >= 5;
        EXPECT_EQ(e[42] | e[43] << 8, swapped ? 0x3 : 0x4) << orientation;  // PixelX's type
        EXPECT_EQ(e[48], swapped ? 7 : 13) << orientation;
        EXPECT_EQ(e[60], swapped ? 13 : 7) << orientation;
    }
}

// An answer of another size: both dimensions say it as LONGs, the SHORT one too, whatever it held.
TEST(Metadata, ResizedPicturesSayTheirNewDimensions) {
    PictureMetadata metadata;
    metadata.Exif = ExifBlock(1);
    MarkMetadataResized(metadata, 70000, 5);
    const std::vector<uint8_t>& e = metadata.Exif;
    EXPECT_EQ(e[42] | e[43] << 8, 0x4);  // PixelX's type
    EXPECT_EQ(e[48] | e[49] << 8 | e[50] << 16, 70000);
    EXPECT_EQ(e[54] | e[55] << 8, 0x4);  // PixelY's type, SHORT before
    EXPECT_EQ(e[60] | e[61] << 8 | e[62] << 16 | e[63] << 24, 5);
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
        std::string warning;  // empty: none
        bool xmpKept = true;
        std::vector<PictureText> added = {};  // descriptions read besides the sample's
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
    // A text chunk before IEND, after the sample's own description.
    auto text = [](const char* type, std::vector<uint8_t> body) {
        return [type, body](std::vector<uint8_t>& f) { InsertPngChunk(f, PngChunk(f, "IEND"), type, body); };
    };
    auto texts = [](std::vector<std::pair<const char*, size_t>> items) {
        return [items](std::vector<uint8_t>& f) {
            for (const auto& [keyword, bytes] : items) {
                std::vector<uint8_t> body(keyword, keyword + std::strlen(keyword) + 1);
                body.resize(body.size() + bytes, 'x');
                InsertPngChunk(f, PngChunk(f, "IEND"), "tEXt", body);
            }
        };
    };
    auto zText = [](const std::vector<uint8_t>& text, bool broken) {
        return [text, broken](std::vector<uint8_t>& f) {
            std::vector<uint8_t> body = Deflated(std::string("Title\0\0", 7), text);
            if (broken) body[10] ^= 0x55;
            InsertPngChunk(f, PngChunk(f, "IEND"), "zTXt", body);
        };
    };
    // 20 COM segments of 60000 bytes after the sample's, before the tables: 17 fit in 1 MB with it.
    auto comments = [](std::vector<uint8_t>& f) {
        std::vector<uint8_t> segment = {0xFF, 0xFE, 60002 >> 8, 60002 & 0xFF};
        segment.resize(segment.size() + 60000, 'x');
        for (int i = 0; i < 20; ++i)
            f.insert(f.begin() + long(NthSegment(f, 0xDB)), segment.begin(), segment.end());
    };
    const std::vector<PictureText> seventeen(17, PictureText{"Comment", std::string(60000, 'x')});
    std::vector<PictureText> letters;  // as the 2000 tEXt chunks below hold them
    for (int i = 0; i < 2000; ++i) letters.push_back({"C", std::string(1, char('a' + i % 26))});
    const auto bytes = [](const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); };
    // A PNG row of text: everything else loads as it was.
    const auto Text = [](const char* name, Edit edit, const std::string& warning,
                         std::vector<PictureText> added = {}) {
        return Case{name, "png", std::move(edit), true, true, warning, true, std::move(added)};
    };
    const char* kDamagedText = "has a damaged text chunk; it is not kept.";
    const std::string pastLimit = "has descriptions of more than 1048576 bytes in all; the ";
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
        // The EXIF IFD past the end, and PixelXDimension's count of 0xFFFFFFFF: IFD0 is sound.
        {"EXIF IFD past the end", "jpg", [&](std::vector<uint8_t>& f) { f[tiffAt(f) + 33] = 0x7F; }, true,
         true, "only its orientation is kept"},
        {"count 0xFFFFFFFF", "png",
         [&](std::vector<uint8_t>& f) {
             for (size_t at = 44; at < 48; ++at) pngExif(f, at, 0xFF);
         },
         true, true, "only its orientation is kept"},
        {"EXIF garbage", "webp",
         [](std::vector<uint8_t>& f) {
             const size_t at = size_t(std::search(f.begin(), f.end(), "EXIF", "EXIF" + 4) - f.begin()) + 8;
             for (size_t i = 0; i < size_t(f[at - 4] | f[at - 3] << 8); ++i) f[at + i] = uint8_t(i * 37 + 11);
         },
         true, false, warning::kDamagedExif},
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
        {"empty eXIf", "png", [](std::vector<uint8_t>& f) { ReplacePngChunk(f, "eXIf", {}); }, true, false,
         ""},
        {"2000 tEXt", "png",
         [](std::vector<uint8_t>& f) {
             for (int i = 0; i < 2000; ++i)
                 InsertPngChunk(f, PngChunk(f, "IDAT"), "tEXt", {'C', 0, uint8_t('a' + i % 26)});
         },
         true, true, "", true, letters},
        {"XMP of 64 MB, compressed", "png",
         [](std::vector<uint8_t>& f) {
             const std::vector<uint8_t> packet(size_t(64) << 20, ' ');
             ReplacePngChunk(f, "iTXt", Deflated(std::string("XML:com.adobe.xmp\0\1\0\0\0", 22), packet));
         },
         true, true, "XMP packet of more than 16777216 bytes", false},
        // Text: Latin-1 where it is not UTF-8, whole items cut from the last past 1 MB in all (the
        // small one after the large one too), a damaged chunk left out alone.
        Text("Latin-1 tEXt", text("tEXt", bytes(std::string("Title\0Caf\xe9", 10))), "",
             {{"Title", "Caf\xc3\xa9"}}),
        Text("UTF-8 tEXt", text("tEXt", bytes(std::string("Title\0Caf\xc3\xa9", 11))), "",
             {{"Title", "Caf\xc3\xa9"}}),
        Text("zTXt", zText(bytes("Stained"), false), "", {{"Title", "Stained"}}),
        Text("iTXt compressed",
             text("iTXt", Deflated(std::string("Title\0\1\0de\0Titel\0", 17), bytes("Gef\xc3\xa4rbt"))), "",
             {{"Title", "Gef\xc3\xa4rbt"}}),
        Text("zTXt stream broken", zText(bytes("Stained, with some more words"), true), kDamagedText),
        Text("zTXt of 64 MB", zText(std::vector<uint8_t>(size_t(64) << 20, ' '), false),
             pastLimit + "last is not kept."),
        Text("descriptions past 1 MB", texts({{"A", 400000}, {"B", 600000}, {"C", 100000}, {"D", 1}}),
             pastLimit + "last 2 are not kept.",
             {{"A", std::string(400000, 'x')}, {"B", std::string(600000, 'x')}}),
        Text("tEXt of 3 MB", texts({{"A", 3000000}, {"B", 1}}), pastLimit + "last 2 are not kept."),
        {"comments past 1 MB", "jpg", comments, true, true, pastLimit + "last 3 are not kept.", true,
         seventeen},
        Text("keyword with a leading space", text("tEXt", bytes(std::string(" Title\0x", 8))), kDamagedText),
        Text("iTXt compression flag 2", text("iTXt", bytes(std::string("Title\0\2\0\0\0x", 11))),
             kDamagedText),
    };
    ScratchDir dir;
    for (const Case& c : cases) {
        const PictureMetadata sent = SampleMetadata(70000);
        const FCObjImage image = RandomImage(13, 7, 24);
        const std::string path = dir / (std::string("x.") + c.format);
        ASSERT_TRUE(SavePictureFile(image, path.c_str(), 100, &sent)) << c.name;
        std::vector<uint8_t> file = ReadFile(path);
        c.edit(file);
        WriteFile(path, file);
        FCObjImage back;
        PictureMetadata read;
        const LoadResult result = LoadWithMetadata(path, back, read);
        ASSERT_TRUE(result.Ok()) << c.name << " " << c.format;
        EXPECT_EQ(back.InfoHeader.biWidth, 13) << c.name;
        ASSERT_EQ(result.Warnings.size(), c.warning.empty() ? 0u : 1u) << c.name << " " << c.format;
        if (!c.warning.empty()) {
            EXPECT_NE(result.Warnings[0].find(c.warning), std::string::npos) << result.Warnings[0];
        }
        EXPECT_EQ(read.IccProfile.empty(), !c.profileKept) << c.name << " " << c.format;
        EXPECT_EQ(read.Exif.empty(), !c.exifKept) << c.name << " " << c.format;
        EXPECT_EQ(read.Xmp, c.xmpKept ? sent.Xmp : std::vector<uint8_t>()) << c.name << " " << c.format;
        std::vector<PictureText> described;
        if ((ItemsKept(Type(path)) & ItemDescriptions) != 0)
            described = AsReadFrom(sent.Descriptions, Type(path));
        described.insert(described.end(), c.added.begin(), c.added.end());
        EXPECT_EQ(read.Descriptions, described) << c.name << " " << c.format;
        // What is left reaches a JPEG output whole: nothing damaged is passed on.
        const std::string jpeg = dir / "y.jpg";
        ASSERT_TRUE(SavePictureFile(back, jpeg.c_str(), 100, &read)) << c.name;
        FCObjImage again;
        PictureMetadata reread;
        EXPECT_EQ(LoadWithMetadata(jpeg, again, reread).Warnings, std::vector<std::string>()) << c.name;
        EXPECT_EQ(reread.Exif, read.Exif) << c.name;
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

namespace {

// What exiftool says of a file: its warnings and errors (-validate's among them).
struct Findings {
    std::set<std::string> Said;
};

std::map<std::string, Findings> ExiftoolFindings(const std::vector<std::string>& paths) {
    std::string command = "exiftool -validate -warning -error -a -s -s";
    for (const std::string& path : paths) command += " '" + path + "'";
    std::map<std::string, Findings> findings;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    char line[1024];
    std::string file;
    while (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr) {
        const std::string text(line, std::strcspn(line, "\n"));
        if (text.rfind("======== ", 0) == 0)
            file = text.substr(9);
        else if (text.rfind("- Warning: ", 0) == 0 || text.rfind("- Error: ", 0) == 0)
            findings[file].Said.insert(text.substr(2));
    }
    if (pipe != nullptr) pclose(pipe);
    return findings;
}

}  // namespace

// exiftool finds nothing wrong in a written file that it did not find in the file it came from:
// pictures other tools made, with the items they hold, into every form that keeps any.
TEST(Metadata, ExiftoolFindsNothingNewInWrittenFiles) {
    if (std::system("exiftool -ver >/dev/null 2>&1") != 0) GTEST_SKIP() << "exiftool is not installed";
    constexpr uint32_t kMetadataItems = ItemProfile | ItemExif | ItemXmp | ItemResolution | ItemOrientation;
    ScratchDir dir;
    std::vector<std::string> paths;
    std::map<std::string, std::string> inputOf;
    for (const char* input :
         {"heif/metadata.heic", "webp/orientation6.webp", "tiff/orientation6.tif", "tiff/rgb8-300dpi.tif",
          "png/pngsuite/exif2c08.png", "jpeg/pillow/truncated_app14.jpg"}) {
        paths.push_back(DataPath(input));
        for (const Writer& writer : Writers()) {
            const std::string form = writer.Extension;
            if ((ItemsKept(Type("x." + form)) & kMetadataItems) == 0) continue;
            FCObjImage image;
            PictureMetadata metadata;
            ASSERT_TRUE(LoadWithMetadata(DataPath(input), image, metadata).Ok()) << input;
            const std::string output = dir / (std::to_string(paths.size()) + "." + form);
            SettleMetadataForOutput(metadata, image.InfoHeader.biXPelsPerMeter > 0, Type(output), false);
            ASSERT_TRUE(SavePictureFile(image, output.c_str(), -1, &metadata)) << output;
            inputOf[output] = DataPath(input);
            paths.push_back(output);
        }
    }
    std::map<std::string, Findings> findings = ExiftoolFindings(paths);
    for (const auto& [output, input] : inputOf) {
        for (const std::string& finding : findings[output].Said)
            EXPECT_EQ(findings[input].Said.count(finding), 1u)
                << output << " from " << input << ": " << finding;
    }
}
