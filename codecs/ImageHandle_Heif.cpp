// HEIF reader. libheif decodes the primary image with its container's rotation and mirroring,
// into interleaved RGB at 8 bits, or at 16 for deeper samples, which are delivered whole in a
// sample image. Alpha is dropped, or where the load keeps it decoded beside the colour (RGBA) into
// the sample image. The ICC profile, EXIF and XMP go into the metadata record.
#include "ImageHandle_Heif.h"

#include <libheif/heif.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ByteOrder.h"
#include "MappedBlock.h"
#include "OwnedHandle.h"
#include "PictureBits.h"
#include "PictureWarnings.h"
#include "PixelLimit.h"
#include "PixelRows.h"
#include "SampleRows.h"

namespace {

constexpr int kEightBits = 8;
// Encoders code grids in tiles of 512 or so; none makes them this large.
constexpr int kMaxTileSide = 4096;
// An EXIF block starts with the big-endian distance from its end to the TIFF header.
constexpr size_t kExifOffsetBytes = 4;
// The picture as libheif hands it over is upright: turning it again would be wrong.
constexpr uint16_t kUpright = 1;
// A decode holds about three copies of the picture's pixels at once: the coded planes, the
// converted planes and the output.
constexpr uint64_t kDecodeWorkingCopies = 3;

using Context = Owned<heif_context, heif_context_free>;
using Handle = Owned<heif_image_handle, heif_image_handle_release>;
using HeifImage = Owned<heif_image, heif_image_release>;
using DecodingOptions = Owned<heif_decoding_options, heif_decoding_options_free>;

// A refusal's reason from libheif's: a file it knows but cannot decode here is unsupported.
bool Refuse(const heif_error& error, LoadResult& result) {
    if (error.code == heif_error_Memory_allocation_error)
        return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    const bool unread =
        error.code == heif_error_Unsupported_feature || error.code == heif_error_Unsupported_filetype;
    return result.Refuse(
        unread ? LoadStatus::Unsupported : LoadStatus::Damaged,
        error.message != nullptr && *error.message != '\0' ? error.message : "unknown error");
}

// libheif 1.15 reports a decoder that ran out of memory only as "Unspecified": a decode refused
// when its working set cannot even be reserved (mapped, never touched, and given back at once)
// ran out of memory, whatever libheif says.
bool WorkingSetAvailable(int width, int height, bool deep, bool alpha) {
    const uint64_t bytes =
        uint64_t(width) * uint64_t(height) * (alpha ? 4 : 3) * (deep ? 2 : 1) * kDecodeWorkingCopies;
    if (bytes > SIZE_MAX) return false;
    uint8_t* reserved = MapBlock(size_t(bytes), false);
    UnmapBlock(reserved, size_t(bytes));
    return reserved != nullptr;
}

void ReadExif(const heif_image_handle* handle, PictureMetadata& metadata) {
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", &id, 1) < 1) return;
    std::vector<uint8_t> block(heif_image_handle_get_metadata_size(handle, id));
    if (block.size() < kExifOffsetBytes ||
        heif_image_handle_get_metadata(handle, id, block.data()).code != heif_error_Ok)
        return;
    const uint64_t skip = uint64_t(GetU32BE(block.data())) + kExifOffsetBytes;
    if (skip >= block.size()) return;
    metadata.Exif.assign(block.begin() + std::ptrdiff_t(skip), block.end());
}

// XMP travels as a metadata block of type "mime" whose content type says so.
void ReadXmp(const heif_image_handle* handle, PictureMetadata& metadata) {
    constexpr int kMostBlocks = 16;
    heif_item_id ids[kMostBlocks];
    const int count = heif_image_handle_get_list_of_metadata_block_IDs(handle, "mime", ids, kMostBlocks);
    for (int i = 0; i < count; ++i) {
        const char* type = heif_image_handle_get_metadata_content_type(handle, ids[i]);
        if (type == nullptr || std::strcmp(type, "application/rdf+xml") != 0) continue;
        std::vector<uint8_t> block(heif_image_handle_get_metadata_size(handle, ids[i]));
        if (!block.empty() &&
            heif_image_handle_get_metadata(handle, ids[i], block.data()).code == heif_error_Ok)
            metadata.Xmp = std::move(block);
        return;
    }
}

void ReadMetadata(const heif_image_handle* handle, PictureMetadata& metadata) {
    const size_t profile = heif_image_handle_get_raw_color_profile_size(handle);
    if (profile > 0) {
        metadata.IccProfile.resize(profile);
        if (heif_image_handle_get_raw_color_profile(handle, metadata.IccProfile.data()).code != heif_error_Ok)
            metadata.IccProfile.clear();
    }
    ReadExif(handle, metadata);
    ReadXmp(handle, metadata);
    metadata.Orientation = kUpright;
}

// Rows of interleaved samples, red first, into the image's blue-green-red rows.
bool CopyEightBit(const heif_image* decoded, FCObjImage& image) {
    int stride = 0;
    const uint8_t* plane = heif_image_get_plane_readonly(decoded, heif_channel_interleaved, &stride);
    if (plane == nullptr || stride <= 0) return false;
    for (int32_t y = 0; y < image.InfoHeader.biHeight; ++y)
        CopySwappingRedAndBlue(plane + size_t(y) * size_t(stride), image.RowTable[y],
                               size_t(image.InfoHeader.biWidth));
    return true;
}

// Interleaved samples, three or four a pixel, row by row into the sink: bytes of 8-bit samples,
// little-endian 16-bit words of deeper ones. A file may store its colour multiplied by the alpha;
// the picture holds the colour itself.
bool PutSamples(heif_image* decoded, int32_t width, int32_t height, uint32_t channels, uint32_t maxValue,
                RowSink& rows) {
    int stride = 0;
    const uint8_t* plane = heif_image_get_plane_readonly(decoded, heif_channel_interleaved, &stride);
    if (plane == nullptr || stride <= 0) return false;
    const bool premultiplied = channels == 4 && heif_image_is_premultiplied_alpha(decoded);
    const size_t count = size_t(width) * channels;
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* from = plane + size_t(y) * size_t(stride);
        uint8_t* to = rows.Row(y);
        if (maxValue <= 255) {
            std::memcpy(to, from, count);
        } else {
            for (size_t i = 0; i < count; ++i)
                PutSample<true>(to, i, std::min<uint32_t>(GetU16LE(from + 2 * i), maxValue));
        }
        if (premultiplied) TakeOutPremultipliedAlpha(to, size_t(width), maxValue);
        rows.Put(y);
    }
    return true;
}

heif_chroma OutputChroma(bool deep, bool alpha) {
    if (deep) return alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE;
    return alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB;
}

}  // namespace

bool FCImageHandle_Heif::LoadMemory(const uint8_t* data, int32_t length) {
    if (data == nullptr || length <= 0) return Result.Refuse(LoadStatus::Damaged, "the file is empty");
    const Context ctx(heif_context_alloc());
    if (!ctx) return Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    heif_error error = heif_context_read_from_memory_without_copy(ctx.get(), data, size_t(length), nullptr);
    if (error.code != heif_error_Ok) return Refuse(error, Result);
    heif_image_handle* primary = nullptr;
    error = heif_context_get_primary_image_handle(ctx.get(), &primary);
    if (error.code != heif_error_Ok) return Refuse(error, Result);
    const Handle handle(primary);
    const int declaredWidth = heif_image_handle_get_width(primary);
    const int declaredHeight = heif_image_handle_get_height(primary);
    if (!CheckPictureSize(declaredWidth, declaredHeight, kPictureBits, Options, Result)) return false;
    // A grid or overlay declares its canvas apart from the size checked above, and libheif takes
    // the canvas's memory as declared: no side may exceed the checked picture's longer side, or a
    // coded tile's side (a small picture is one tile larger than itself).
    heif_context_set_maximum_image_size_limit(ctx.get(),
                                              std::max({declaredWidth, declaredHeight, kMaxTileSide}));
    const bool deep = heif_image_handle_get_luma_bits_per_pixel(primary) > kEightBits;
    const bool hasAlpha = heif_image_handle_has_alpha_channel(primary) != 0;
    const DecodingOptions options(heif_decoding_options_alloc());
    if (!options) return Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    options->convert_hdr_to_8bit = 0;
    heif_image* out = nullptr;
    error =
        heif_decode_image(primary, &out, heif_colorspace_RGB, OutputChroma(deep, hasAlpha), options.get());
    const HeifImage decoded(out);
    if (error.code != heif_error_Ok && !WorkingSetAvailable(declaredWidth, declaredHeight, deep, hasAlpha))
        return Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    if (error.code != heif_error_Ok || !decoded) return Refuse(error, Result);
    const int width = heif_image_get_width(out, heif_channel_interleaved);
    const int height = heif_image_get_height(out, heif_channel_interleaved);
    const int bits = heif_image_get_bits_per_pixel_range(out, heif_channel_interleaved);
    if (bits < kEightBits || bits > 16 || (bits > kEightBits) != deep)
        return Result.Refuse(LoadStatus::Unsupported, std::to_string(bits) + " bits per sample");
    if (!CheckPictureSize(width, height, kPictureBits, Options, Result)) return false;
    if (deep || hasAlpha) {
        const uint32_t channels = hasAlpha ? 4 : 3, maxValue = (1u << bits) - 1;
        if (!Rows.Begin(width, height, channels, maxValue))
            return Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
        if (!PutSamples(out, width, height, channels, maxValue, Rows))
            return Result.Refuse(LoadStatus::Damaged, "no interleaved samples");
    } else {
        auto image = std::make_unique<FCObjImage>();
        if (!image->Create(width, height, kPictureBits))
            return Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
        if (!CopyEightBit(out, *image)) return Result.Refuse(LoadStatus::Damaged, "no interleaved samples");
        PushObject(image.release());
    }
    // A collection's other images are left out as a TIFF's other pages are, and said the same way.
    if (heif_context_get_number_of_top_level_images(ctx.get()) > 1)
        Result.Warnings.push_back(warning::kFrames);
    ReadMetadata(primary, Metadata);
    return true;
}
