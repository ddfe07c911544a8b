// HEIF reader. libheif decodes the primary image with its container's rotation and mirroring,
// into interleaved RGB at 8 bits, or at 16 for deeper samples, which are narrowed here with
// rounding. Alpha is dropped. The ICC profile and the EXIF block go into the metadata record.
#include "ImageHandle_Heif.h"

#include <libheif/heif.h>

#include <algorithm>
#include <memory>

#include "ByteOrder.h"
#include "PictureBits.h"
#include "PixelLimit.h"

namespace {

constexpr int kEightBits = 8;
// Encoders code grids in tiles of 512 or so; none makes them this large.
constexpr int kMaxTileSide = 4096;
// An EXIF block starts with the big-endian distance from its end to the TIFF header.
constexpr size_t kExifOffsetBytes = 4;
// The picture as libheif hands it over is upright: turning it again would be wrong.
constexpr uint16_t kUpright = 1;

struct ContextFree {
    void operator()(heif_context* ctx) const { heif_context_free(ctx); }
};
struct HandleRelease {
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct ImageRelease {
    void operator()(heif_image* image) const { heif_image_release(image); }
};
struct OptionsFree {
    void operator()(heif_decoding_options* options) const { heif_decoding_options_free(options); }
};
using HeifImage = std::unique_ptr<heif_image, ImageRelease>;

// A refusal's reason from libheif's: a file it knows but cannot decode here is unsupported.
bool Refuse(const heif_error& error, LoadResult& result) {
    if (error.code == heif_error_Unsupported_feature || error.code == heif_error_Unsupported_filetype)
        result.Status = LoadStatus::Unsupported;
    if (error.code == heif_error_Memory_allocation_error) result.Status = LoadStatus::OutOfMemory;
    if (error.message != nullptr) result.Detail = error.message;
    return false;
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

void ReadMetadata(const heif_image_handle* handle, PictureMetadata& metadata) {
    const size_t profile = heif_image_handle_get_raw_color_profile_size(handle);
    if (profile > 0) {
        metadata.IccProfile.resize(profile);
        if (heif_image_handle_get_raw_color_profile(handle, metadata.IccProfile.data()).code != heif_error_Ok)
            metadata.IccProfile.clear();
    }
    ReadExif(handle, metadata);
    metadata.Orientation = kUpright;
}

// Rows of interleaved samples, red first, into the image's blue-green-red rows; deeper samples
// (little-endian 16-bit words) narrowed with rounding.
bool CopyPixels(const heif_image* decoded, int bits, FCObjImage& image) {
    int stride = 0;
    const uint8_t* plane = heif_image_get_plane_readonly(decoded, heif_channel_interleaved, &stride);
    if (plane == nullptr || stride <= 0) return false;
    const uint32_t max = (1u << bits) - 1;
    const size_t width = size_t(image.InfoHeader.biWidth);
    for (int32_t y = 0; y < image.InfoHeader.biHeight; ++y) {
        const uint8_t* from = plane + size_t(y) * size_t(stride);
        uint8_t* to = image.RowTable[y];
        for (size_t x = 0; x < width; ++x, to += kBgrPixelBytes) {
            for (size_t c = 0; c < 3; ++c) {
                uint32_t v = 0;
                if (bits == kEightBits) {
                    v = from[x * 3 + c];
                } else {
                    const uint8_t* word = from + (x * 3 + c) * 2;
                    v = (std::min<uint32_t>(uint32_t(word[0] | (word[1] << 8)), max) * 255 + max / 2) / max;
                }
                to[2 - c] = uint8_t(v);
            }
        }
    }
    return true;
}

}  // namespace

bool FCImageHandle_Heif::LoadMemory(const uint8_t* data, int32_t length) {
    if (data == nullptr || length <= 0) return false;
    const std::unique_ptr<heif_context, ContextFree> ctx(heif_context_alloc());
    if (!ctx) return false;
    heif_error error = heif_context_read_from_memory_without_copy(ctx.get(), data, size_t(length), nullptr);
    if (error.code != heif_error_Ok) return Refuse(error, Result);
    heif_image_handle* primary = nullptr;
    error = heif_context_get_primary_image_handle(ctx.get(), &primary);
    if (error.code != heif_error_Ok) return Refuse(error, Result);
    const std::unique_ptr<heif_image_handle, HandleRelease> handle(primary);
    const int declaredWidth = heif_image_handle_get_width(primary);
    const int declaredHeight = heif_image_handle_get_height(primary);
    if (!CheckPictureSize(declaredWidth, declaredHeight, kPictureBits, Result)) return false;
    // A grid or overlay declares its canvas apart from the size checked above, and libheif takes
    // the canvas's memory as declared: no side may exceed the checked picture's longer side, or a
    // coded tile's side (a small picture is one tile larger than itself).
    heif_context_set_maximum_image_size_limit(ctx.get(),
                                              std::max({declaredWidth, declaredHeight, kMaxTileSide}));
    const bool deep = heif_image_handle_get_luma_bits_per_pixel(primary) > kEightBits;
    const std::unique_ptr<heif_decoding_options, OptionsFree> options(heif_decoding_options_alloc());
    if (!options) return false;
    options->convert_hdr_to_8bit = 0;
    heif_image* out = nullptr;
    error = heif_decode_image(primary, &out, heif_colorspace_RGB,
                              deep ? heif_chroma_interleaved_RRGGBB_LE : heif_chroma_interleaved_RGB,
                              options.get());
    const HeifImage decoded(out);
    if (error.code != heif_error_Ok || !decoded) return Refuse(error, Result);
    const int width = heif_image_get_width(out, heif_channel_interleaved);
    const int height = heif_image_get_height(out, heif_channel_interleaved);
    const int bits = heif_image_get_bits_per_pixel_range(out, heif_channel_interleaved);
    if (bits < kEightBits || bits > 16 || (bits > kEightBits) != deep) return false;
    if (!CheckPictureSize(width, height, kPictureBits, Result)) return false;
    auto image = std::make_unique<FCObjImage>();
    if (!image->Create(width, height, kPictureBits) || !CopyPixels(out, bits, *image)) return false;
    if (heif_image_handle_has_alpha_channel(primary))
        Result.Warnings.push_back("has transparency, which is not kept");
    ReadMetadata(primary, Metadata);
    PushObject(image.release());
    return true;
}
