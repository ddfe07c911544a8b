// PNG reader and writer. Colour is taken as stored (grey widened unless the load keeps grey,
// palettes looked up, gamma ignored); every row goes to the sink, which holds it in the form the load asks
// for. Profile, EXIF, XMP and resolution travel beside the pixels. Rows are decoded straight into the picture
// and written through one row's buffer.
#include "ImageHandle_Png.h"

#include <spng.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ByteOrder.h"
#include "ByteSource.h"
#include "Descriptions.h"
#include "Exif.h"
#include "FileWriter.h"
#include "ImageSize.h"
#include "OwnedHandle.h"
#include "PictureBits.h"
#include "PictureView.h"
#include "PictureWarnings.h"
#include "PixelLimit.h"
#include "PixelRows.h"
#include "PngChunks.h"
#include "SampleRows.h"

namespace {

constexpr uint8_t kWrittenBitDepth = 8;
constexpr uint8_t kDeepBitDepth = 16;
constexpr uint32_t kDeepMaxValue = 65535;
constexpr uint32_t kEightBitMaxValue = 255;
// The format's own bound on a chunk's length.
constexpr size_t kLargestChunk = 0x7FFFFFFF;
constexpr char kProfileName[] = "ICC profile";
constexpr char kXmpKeyword[] = "XML:com.adobe.xmp";
constexpr uint8_t kUnitMetre = 1;
// Chosen by measurement on the 12-megapixel photo-like and noise pictures of the benchmark:
// the average filter with run-length-only deflate saves in about a seventh (photo) and a third
// (noise) of ImageMagick's time, with files as small as its own; the up filter is as fast but 7%
// larger, and every filter tried on every row (ImageMagick's way) is twice as slow for nothing.
// Under this strategy the level hardly matters; 1 keeps zlib's window search short.
constexpr int kCompressionLevel = 1;
constexpr int kFilterChoice = SPNG_FILTER_CHOICE_AVG;
constexpr int kCompressionStrategy = Z_RLE;

using SpngContext = Owned<spng_ctx, spng_ctx_free>;

// The decoder reads the ranges of the file our chunk walk chose for it, one after the other, from
// memory or straight from the file: a file is never held whole, so a large picture costs its
// pixels and little more.
struct DecoderFeed {
    ByteSource& In;
    const std::vector<PngChunkList::Range>& Ranges;
    size_t Range = 0;
    uint64_t Done = 0;  // bytes of the current range already read
};

int ReadRanges(spng_ctx*, void* user, void* to, size_t length) {
    DecoderFeed& feed = *static_cast<DecoderFeed*>(user);
    uint8_t* out = static_cast<uint8_t*>(to);
    while (length != 0) {
        if (feed.Range == feed.Ranges.size()) return SPNG_IO_EOF;
        const PngChunkList::Range& range = feed.Ranges[feed.Range];
        const size_t n = size_t(std::min<uint64_t>(length, range.Length - feed.Done));
        if (feed.In.Position() != range.Offset + feed.Done && !feed.In.Seek(range.Offset + feed.Done))
            return SPNG_IO_EOF;
        if (!feed.In.Bytes(out, n)) return SPNG_IO_EOF;
        out += n, length -= n, feed.Done += n;
        if (feed.Done == range.Length) ++feed.Range, feed.Done = 0;
    }
    return 0;
}

// The library's own words for a refusal; its memory failure is said as every reader says it.
bool Refuse(int status, LoadResult& result) {
    if (status == SPNG_EMEM) return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    return result.Refuse(LoadStatus::Damaged, spng_strerror(status));
}

// The pixels' own limits are the only ones: libspng checks each dimension by itself (the
// format's largest), and the product is checked against the pixel limit once the header is read.
// The decoder never sees a text or profile chunk, so it has nothing to keep.
int SetDecodeLimits(spng_ctx* ctx) {
    int status = spng_set_image_limits(ctx, uint32_t(INT32_MAX), uint32_t(INT32_MAX));
    if (status == SPNG_OK) status = spng_set_chunk_limits(ctx, kLargestChunk, SIZE_MAX);
    // Decision: a broken checksum refuses the file even in a chunk we ignore (libspng would drop
    // such a chunk silently): the bytes are damaged, and nothing says the damage stayed in it.
    if (status == SPNG_OK) status = spng_set_crc_action(ctx, SPNG_CRC_ERROR, SPNG_CRC_ERROR);
    return status;
}

// The rows in the decoded form, of 8 or 16 bits, each into the sink as it arrives. 16-bit samples
// that come out in the machine's byte order are turned: the sink takes them most significant byte
// first. A pass of an interlaced picture fills only its own pixels of a row. A
// stream that ends or breaks before the last row fails the whole load, and so does a broken checksum
// of the chunks after it: the last image-data chunk's is checked only there.
// How libspng hands the rows over: its format, whether tRNS becomes alpha, and the bytes of a pixel
// of 16-bit samples in the machine's order (0: none, or already most significant first).
struct DecodedForm {
    int Format = SPNG_FMT_RGB8;
    bool Transparency = false;
    size_t SwappedPixelBytes = 0;
    PixelLayout Layout;
};

// Without alpha, 16-bit colour still comes as RGBA16, the only 16-bit colour form libspng gives.
DecodedForm ColourForm(bool deep, bool alpha) {
    DecodedForm form;
    form.Format = deep ? SPNG_FMT_RGBA16 : (alpha ? SPNG_FMT_RGBA8 : SPNG_FMT_RGB8);
    form.Transparency = alpha;
    form.SwappedPixelBytes = deep ? 8 : 0;
    form.Layout = PixelLayout{alpha ? 4u : 3u, deep ? kDeepMaxValue : kEightBitMaxValue, false};
    return form;
}

// Grey kept grey: grey and alpha as stored (8 or 16 bits, most significant first), grey with tRNS
// as grey and alpha, grey alone of 1 to 8 bits spread over 8.
DecodedForm GreyForm(const spng_ihdr& ihdr, bool transparent) {
    const bool deep = ihdr.bit_depth == kDeepBitDepth;
    const bool alpha = ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA || transparent;
    DecodedForm form;
    form.Layout = PixelLayout{alpha ? 2u : 1u, deep ? kDeepMaxValue : kEightBitMaxValue, false};
    if (ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA || (deep && !alpha)) {
        form.Format = SPNG_FMT_RAW;
    } else if (alpha) {
        form.Format = deep ? SPNG_FMT_GA16 : SPNG_FMT_GA8;
        form.Transparency = true;
        form.SwappedPixelBytes = deep ? 4 : 0;
    } else {
        form.Format = SPNG_FMT_G8;
    }
    return form;
}

int DecodeRows(spng_ctx* ctx, const spng_ihdr& ihdr, const DecodedForm& form, RowSink& rows) {
    static const uint32_t kPassFirst[7] = {0, 4, 0, 2, 0, 1, 0};
    static const uint32_t kPassStep[7] = {8, 8, 4, 4, 2, 2, 1};
    const size_t swapped = form.SwappedPixelBytes;
    const bool interlaced = ihdr.interlace_method != SPNG_INTERLACE_NONE;
    int status = spng_decode_image(ctx, nullptr, 0, form.Format,
                                   SPNG_DECODE_PROGRESSIVE | (form.Transparency ? SPNG_DECODE_TRNS : 0));
    while (status == SPNG_OK) {
        spng_row_info info{};
        status = spng_get_row_info(ctx, &info);
        if (status != SPNG_OK) break;
        if (info.row_num >= ihdr.height || (interlaced && (info.pass < 0 || info.pass > 6)))
            return SPNG_EINTERNAL;
        const int32_t y = int32_t(info.row_num);
        uint8_t* row = rows.Row(y);
        status = spng_decode_row(ctx, row, rows.RowBytes());
        if (status != SPNG_OK && status != SPNG_EOI) break;
        const uint32_t first = interlaced ? kPassFirst[info.pass] : 0;
        const uint32_t step = interlaced ? kPassStep[info.pass] : 1;
        for (size_t x = first; swapped != 0 && x < ihdr.width; x += step) {
            uint8_t* pixel = row + x * swapped;
            for (size_t i = 0; i < swapped; i += 2) {
                const uint16_t v = GetU16LE(pixel + i);
                pixel[i] = uint8_t(v >> 8), pixel[i + 1] = uint8_t(v);
            }
        }
        rows.Put(y, first, step);
    }
    return status == SPNG_EOI ? spng_decode_chunks(ctx) : status;
}

uint8_t ColourType(const PixelLayout& layout) {
    if (!layout.Colour())
        return layout.HasAlpha() ? SPNG_COLOR_TYPE_GRAYSCALE_ALPHA : SPNG_COLOR_TYPE_GRAYSCALE;
    return layout.HasAlpha() ? SPNG_COLOR_TYPE_TRUECOLOR_ALPHA : SPNG_COLOR_TYPE_TRUECOLOR;
}

int WriteToFile(spng_ctx*, void* user, void* data, size_t length) {
    return static_cast<FileWriter*>(user)->Write(data, length) ? 0 : SPNG_IO_ERROR;
}

bool ConfigureEncoder(spng_ctx* ctx, int32_t width, int32_t height, uint8_t bitDepth, uint8_t colourType,
                      FileWriter& out) {
    spng_ihdr ihdr{};
    ihdr.width = uint32_t(width);
    ihdr.height = uint32_t(height);
    ihdr.bit_depth = bitDepth;
    ihdr.color_type = colourType;
    return spng_set_png_stream(ctx, WriteToFile, &out) == SPNG_OK && spng_set_ihdr(ctx, &ihdr) == SPNG_OK &&
           spng_set_option(ctx, SPNG_IMG_COMPRESSION_LEVEL, kCompressionLevel) == SPNG_OK &&
           spng_set_option(ctx, SPNG_FILTER_CHOICE, kFilterChoice) == SPNG_OK &&
           spng_set_option(ctx, SPNG_IMG_COMPRESSION_STRATEGY, kCompressionStrategy) == SPNG_OK;
}

// What libspng is handed: it keeps the pointers, not copies, until the picture is encoded.
struct EncoderMetadata {
    std::vector<uint8_t> Exif;
    std::string Xmp;  // libspng measures it with strlen, so it ends in a zero
    std::vector<std::string> Texts;
    std::vector<spng_text> Chunks;
    char Empty[1] = {0};
};

// What tEXt holds: Latin-1 printable characters and line feeds (libspng refuses the others).
bool FitsText(const std::string& latin1) {
    for (const char ch : latin1) {
        const uint8_t c = uint8_t(ch);
        if (!((c >= 32 && c <= 126) || c >= 161 || c == '\n')) return false;
    }
    return true;
}

// Each description as a tEXt chunk where its text is Latin-1, else as iTXt (UTF-8); one whose
// keyword PNG cannot name, or with no text, is left out, so that libspng takes the others.
void AddDescriptions(const std::vector<PictureText>& descriptions, EncoderMetadata& held) {
    held.Texts.reserve(descriptions.size());
    for (const PictureText& description : descriptions) {
        std::string keyword, latin1;
        if (description.Text.empty() || description.Text.find('\0') != std::string::npos ||
            !ToLatin1(description.Keyword, keyword) || !IsPngKeyword(keyword))
            continue;
        const bool plain = ToLatin1(description.Text, latin1) && FitsText(latin1);
        held.Texts.push_back(plain ? latin1 : description.Text);
        spng_text text{};
        std::memcpy(text.keyword, keyword.data(), keyword.size());
        text.type = plain ? SPNG_TEXT : SPNG_ITXT;
        text.length = held.Texts.back().size();
        text.text = &held.Texts.back()[0];
        text.language_tag = held.Empty;
        text.translated_keyword = held.Empty;
        held.Chunks.push_back(text);
    }
}

// Items libspng will not take are left out rather than costing the picture.
void SetMetadata(spng_ctx* ctx, const PictureMetadata& metadata, EncoderMetadata& held) {
    if (!metadata.IccProfile.empty()) {
        spng_iccp iccp{};
        std::memcpy(iccp.profile_name, kProfileName, sizeof kProfileName);
        iccp.profile_len = metadata.IccProfile.size();
        iccp.profile = const_cast<char*>(reinterpret_cast<const char*>(metadata.IccProfile.data()));
        spng_set_iccp(ctx, &iccp);
    }
    held.Exif = metadata.Exif;
    PrepareExifForOutput(held.Exif, metadata.Orientation);
    if (!held.Exif.empty()) {
        spng_exif block{held.Exif.size(), reinterpret_cast<char*>(held.Exif.data())};
        spng_set_exif(ctx, &block);
    }
    // A packet with a zero inside would be cut short there: it is not written.
    held.Xmp.assign(metadata.Xmp.begin(), metadata.Xmp.end());
    if (!held.Xmp.empty() && held.Xmp.find('\0') == std::string::npos) {
        spng_text text{};
        std::memcpy(text.keyword, kXmpKeyword, sizeof kXmpKeyword);
        text.type = SPNG_ITXT;
        text.length = held.Xmp.size();
        text.text = held.Xmp.data();
        text.language_tag = held.Empty;
        text.translated_keyword = held.Empty;
        held.Chunks.push_back(text);
    }
    AddDescriptions(metadata.Descriptions, held);
    if (!held.Chunks.empty()) spng_set_text(ctx, held.Chunks.data(), uint32_t(held.Chunks.size()));
}

void SetResolution(spng_ctx* ctx, int32_t xPixelsPerMetre, int32_t yPixelsPerMetre) {
    if (xPixelsPerMetre <= 0 || yPixelsPerMetre <= 0) return;
    spng_phys phys{uint32_t(xPixelsPerMetre), uint32_t(yPixelsPerMetre), kUnitMetre};
    spng_set_phys(ctx, &phys);
}

// Rows in the layout the framework chose, 8 or 16 bits, with alpha or without; libspng takes
// 16-bit samples in the machine's byte order.
bool WriteRows(spng_ctx* ctx, RowSource& rows, int32_t height) {
    const int flags = SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE;
    if (spng_encode_image(ctx, nullptr, 0, SPNG_FMT_PNG, flags) != SPNG_OK) return false;
    std::vector<uint8_t> swapped(rows.Layout().Wide() ? rows.RowBytes() : 0);
    int status = SPNG_OK;
    for (int32_t y = 0; y < height && status == SPNG_OK; ++y) {
        const uint8_t* row = rows.Row(y);
        for (size_t i = 0; i < swapped.size(); i += 2) PutU16LE(swapped.data() + i, GetU16BE(row + i));
        status = spng_encode_row(ctx, swapped.empty() ? row : swapped.data(), rows.RowBytes());
    }
    return status == SPNG_EOI;
}

}  // namespace

bool FCImageHandle_Png::LoadSource(ByteSource& in) {
    return Decode(in);
}

bool FCImageHandle_Png::Decode(ByteSource& in) {
    PngChunkList chunks;
    std::string reason;
    if (!WalkPngChunks(in, chunks, reason)) return Result.Refuse(LoadStatus::Damaged, reason);
    DecoderFeed feed{in, chunks.ForDecoder};
    const SpngContext ctx(spng_ctx_new(0));
    if (!ctx) return Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    int status = spng_set_png_stream(ctx.get(), ReadRanges, &feed);
    if (status == SPNG_OK) status = SetDecodeLimits(ctx.get());
    spng_ihdr ihdr{};
    if (status == SPNG_OK) status = spng_get_ihdr(ctx.get(), &ihdr);
    if (status != SPNG_OK) return Refuse(status, Result);
    if (!CheckPictureSize(ihdr.width, ihdr.height, kPictureBits, Options, Result)) return false;
    PngExtras extras;
    ReadPngMetadata(chunks, Metadata, extras, Result.Warnings);
    const bool deep = ihdr.bit_depth == kDeepBitDepth;
    const bool grey =
        ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE || ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA;
    const DecodedForm form = grey && Rows.KeepsGrey() ? GreyForm(ihdr, extras.Transparent)
                                                      : ColourForm(deep, deep || extras.Transparent);
    if (!Rows.Begin(int32_t(ihdr.width), int32_t(ihdr.height), form.Layout))
        return Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    if ((status = DecodeRows(ctx.get(), ihdr, form, Rows)) != SPNG_OK) return Refuse(status, Result);
    Rows.SetResolution(extras.XPixelsPerMetre, extras.YPixelsPerMetre);
    if (extras.Animated) Result.Warnings.push_back(warning::kFrames);
    return true;
}

bool FCImageHandle_Png::WritePicture(const char* path, int32_t) {
    const SpngContext ctx(spng_ctx_new(SPNG_CTX_ENCODER));
    FileWriter out;
    if (!ctx || !out.Open(path) ||
        !ConfigureEncoder(ctx.get(), SaveView.Width, SaveView.Height,
                          SaveLayout.Wide() ? kDeepBitDepth : kWrittenBitDepth, ColourType(SaveLayout), out))
        return false;
    SetResolution(ctx.get(), SaveView.XPixelsPerMetre, SaveView.YPixelsPerMetre);
    EncoderMetadata held;
    if (SaveMetadata != nullptr) SetMetadata(ctx.get(), *SaveMetadata, held);
    RowSource rows(SaveView, SaveLayout);
    return WriteRows(ctx.get(), rows, SaveView.Height) && out.Commit();
}
