// PNG reader and writer. Colour is taken as stored (grey widened, palettes looked up, 16-bit samples
// cut to their high byte, gamma ignored, alpha dropped); profile, EXIF, XMP and resolution travel
// beside the pixels. Rows are decoded straight into the image and written through one row's buffer.
#include "ImageHandle_Png.h"

#include <spng.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Exif.h"
#include "FileWriter.h"
#include "ImageAt24Bits.h"
#include "ImageSize.h"
#include "JpegSegments.h"
#include "LoadWarnings.h"
#include "PixelLimit.h"
#include "PngChunks.h"

namespace {

constexpr uint8_t kWrittenBitDepth = 8;
// libspng keeps ancillary chunks while it reads (we read them again ourselves); compressed text or
// profiles must not be able to take more memory than this.
constexpr size_t kChunkCacheBytes = size_t(64) << 20;
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

struct SpngFree {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
using SpngContext = std::unique_ptr<spng_ctx, SpngFree>;

// libspng checks each dimension by itself; the product is checked against the pixel limit once
// the header is read. Its chunk size limit also bounds what a compressed chunk inflates to, so
// the file's length alone would refuse a well-compressed printer profile larger than the file.
bool SetDecodeLimits(spng_ctx* ctx, size_t length) {
    const uint64_t side = std::min<uint64_t>(GetPixelLimit(), uint64_t(INT32_MAX));
    return spng_set_image_limits(ctx, uint32_t(side), uint32_t(side)) == SPNG_OK &&
           spng_set_chunk_limits(ctx, std::max(length, kIccProfileMax), kChunkCacheBytes) == SPNG_OK;
}

// Decision: a broken checksum refuses the file even in a chunk we ignore (libspng would drop such
// a chunk silently): the bytes are damaged, and nothing says the damage stayed in that chunk.
bool RefuseEveryBadChecksum(spng_ctx* ctx) {
    return spng_set_crc_action(ctx, SPNG_CRC_ERROR, SPNG_CRC_ERROR) == SPNG_OK;
}

bool ReadHeader(spng_ctx* ctx, spng_ihdr& ihdr, LoadResult& result) {
    if (spng_get_ihdr(ctx, &ihdr) != SPNG_OK) return false;
    return CheckPictureSize(ihdr.width, ihdr.height, kPictureBits, result);
}

void SwapRedAndBlue(uint8_t* row, size_t pixels) {
    for (size_t i = 0; i < pixels; ++i, row += kBgrPixelBytes) std::swap(row[0], row[2]);
}

// Rows arrive top first as red, green, blue; each goes to its place in the bottom-up block.
// Interlaced passes fill the same rows again, so the colour order is fixed only at the end.
// A stream that ends or breaks before the last row fails the whole load, and so does a broken
// checksum of the chunks after it: the last image-data chunk's is checked only there.
bool DecodeRows(spng_ctx* ctx, FCObjImage& image) {
    if (spng_decode_image(ctx, nullptr, 0, SPNG_FMT_RGB8, SPNG_DECODE_PROGRESSIVE) != SPNG_OK) return false;
    const uint32_t height = uint32_t(image.InfoHeader.biHeight);
    const size_t width = size_t(image.InfoHeader.biWidth);
    int status = SPNG_OK;
    while (status == SPNG_OK) {
        spng_row_info info{};
        status = spng_get_row_info(ctx, &info);
        if (status != SPNG_OK) break;
        if (info.row_num >= height) return false;
        status = spng_decode_row(ctx, image.RowTable[info.row_num], width * kBgrPixelBytes);
    }
    if (status != SPNG_EOI || spng_decode_chunks(ctx) != SPNG_OK) return false;
    for (uint32_t y = 0; y < height; ++y) SwapRedAndBlue(image.RowTable[y], width);
    return true;
}

int WriteToFile(spng_ctx*, void* user, void* data, size_t length) {
    return static_cast<FileWriter*>(user)->Write(data, length) ? 0 : SPNG_IO_ERROR;
}

bool ConfigureEncoder(spng_ctx* ctx, const FCObjImage& image, FileWriter& out) {
    spng_ihdr ihdr{};
    ihdr.width = uint32_t(image.InfoHeader.biWidth);
    ihdr.height = uint32_t(image.InfoHeader.biHeight);
    ihdr.bit_depth = kWrittenBitDepth;
    ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
    return spng_set_png_stream(ctx, WriteToFile, &out) == SPNG_OK && spng_set_ihdr(ctx, &ihdr) == SPNG_OK &&
           spng_set_option(ctx, SPNG_IMG_COMPRESSION_LEVEL, kCompressionLevel) == SPNG_OK &&
           spng_set_option(ctx, SPNG_FILTER_CHOICE, kFilterChoice) == SPNG_OK &&
           spng_set_option(ctx, SPNG_IMG_COMPRESSION_STRATEGY, kCompressionStrategy) == SPNG_OK;
}

// What libspng is handed: it keeps the pointers, not copies, until the picture is encoded.
struct EncoderMetadata {
    std::vector<uint8_t> Exif;
    std::string Xmp;  // libspng measures it with strlen, so it ends in a zero
    char Empty[1] = {0};
};

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
        spng_set_text(ctx, &text, 1);
    }
}

void SetResolution(spng_ctx* ctx, const FCObjImage& image) {
    if (image.InfoHeader.biXPelsPerMeter <= 0 || image.InfoHeader.biYPelsPerMeter <= 0) return;
    spng_phys phys{uint32_t(image.InfoHeader.biXPelsPerMeter), uint32_t(image.InfoHeader.biYPelsPerMeter),
                   kUnitMetre};
    spng_set_phys(ctx, &phys);
}

// One row at a time through a small buffer that puts red before blue; the image stays as it is.
bool EncodeRows(spng_ctx* ctx, const FCObjImage& image) {
    const int flags = SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE;
    if (spng_encode_image(ctx, nullptr, 0, SPNG_FMT_PNG, flags) != SPNG_OK) return false;
    const size_t width = size_t(image.InfoHeader.biWidth);
    std::vector<uint8_t> rgb(width * kBgrPixelBytes);
    int status = SPNG_OK;
    for (int32_t y = 0; y < image.InfoHeader.biHeight && status == SPNG_OK; ++y) {
        std::copy(image.RowTable[y], image.RowTable[y] + rgb.size(), rgb.begin());
        SwapRedAndBlue(rgb.data(), width);
        status = spng_encode_row(ctx, rgb.data(), rgb.size());
    }
    return status == SPNG_EOI;
}

}  // namespace

bool FCImageHandle_Png::LoadMemory(const uint8_t* data, int32_t length) {
    if (data == nullptr || length <= 0) return false;
    const SpngContext ctx(spng_ctx_new(0));
    if (!ctx || spng_set_png_buffer(ctx.get(), data, size_t(length)) != SPNG_OK ||
        !SetDecodeLimits(ctx.get(), size_t(length)) || !RefuseEveryBadChecksum(ctx.get()))
        return false;
    spng_ihdr ihdr{};
    if (!ReadHeader(ctx.get(), ihdr, Result)) return false;
    auto image = std::make_unique<FCObjImage>();
    if (!image->Create(int32_t(ihdr.width), int32_t(ihdr.height), kPictureBits)) return false;
    if (!DecodeRows(ctx.get(), *image)) return false;
    PngExtras extras;
    ReadPngMetadata(data, size_t(length), Metadata, extras, Result.Warnings);
    image->InfoHeader.biXPelsPerMeter = extras.XPixelsPerMetre;
    image->InfoHeader.biYPelsPerMeter = extras.YPixelsPerMetre;
    if (extras.Transparent) Result.Warnings.push_back(kTransparencyWarning);
    if (extras.Animated) Result.Warnings.push_back(kAnimationWarning);
    PushObject(image.release());
    return true;
}

bool FCImageHandle_Png::SaveFile(const char* path, int32_t) {
    // The writer makes 8-bit true colour only.
    std::unique_ptr<FCObjImage> widened;
    const FCObjImage* image = ImageAt24Bits(ImageToSave(), widened);
    if (image == nullptr) return false;
    const SpngContext ctx(spng_ctx_new(SPNG_CTX_ENCODER));
    FileWriter out;
    if (!ctx || !out.Open(path) || !ConfigureEncoder(ctx.get(), *image, out)) return false;
    // The resolution is the saved image's own: a widened copy has none.
    SetResolution(ctx.get(), *SaveList.front());
    EncoderMetadata held;
    if (SaveMetadata != nullptr) SetMetadata(ctx.get(), *SaveMetadata, held);
    return EncodeRows(ctx.get(), *image) && out.Commit();
}
