// HEIF reader and HEIC writer. libheif decodes the primary image with its container's rotation and mirroring,
// into planes of RGB (and alpha) at 8 bits, or at the file's depth for deeper samples, which go
// row by row into the form the load holds (8-bit colour without alpha blue first, as the 24-bit
// image holds it). The ICC profile, EXIF and XMP go into the metadata
// record.
#include "ImageHandle_Heif.h"

#include <libheif/heif.h>
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ByteOrder.h"
#include "Exif.h"
#include "FileWriter.h"
#include "LossyQuality.h"
#include "MappedBlock.h"
#include "OwnedHandle.h"
#include "PictureBits.h"
#include "PictureWarnings.h"
#include "PixelLimit.h"
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

// The planes of a picture decoded as planar RGB, with alpha where it has it: a byte a sample of 8
// bits or fewer, a little-endian word above. Planes, not interleaved samples: libheif makes the
// interleaved picture as one more whole copy beside its planes (a 12 MP HEIC's decode peaked at
// 124 MB so, at 89 MB in planes), while rows interleaved here cost one row at a time.
class Planes {
  public:
    bool Take(const heif_image* image, int32_t width, int32_t height, bool alpha) {
        const heif_channel channels[4] = {heif_channel_R, heif_channel_G, heif_channel_B, heif_channel_Alpha};
        count_ = alpha ? 4 : 3;
        for (uint32_t c = 0; c < count_; ++c) {
            plane_[c] = heif_image_get_plane_readonly(image, channels[c], &stride_[c]);
            const int bits = heif_image_get_bits_per_pixel_range(image, channels[c]);
            if (plane_[c] == nullptr || stride_[c] <= 0 || bits < 1 || bits > 16 ||
                heif_image_get_width(image, channels[c]) < width ||
                heif_image_get_height(image, channels[c]) < height)
                return false;
            max_[c] = (1u << bits) - 1;
        }
        return true;
    }
    uint32_t Bits(uint32_t c) const {
        uint32_t bits = 0;
        while ((max_[c] >> bits) != 0) ++bits;
        return bits;
    }
    uint32_t Count() const { return count_; }
    // Row y of every plane into interleaved samples of 0 to max, a byte each or (Wide) two, the most
    // significant first, red first or (blueFirst) blue; the kind of each plane is chosen once a
    // row, not per sample.
    template <bool Wide>
    void Interleave(int32_t y, int32_t width, uint32_t max, bool blueFirst, uint8_t* to) const {
        for (uint32_t c = 0; c < count_; ++c) {
            const uint8_t* row = Row(c, y);
            const size_t at = blueFirst && c < 3 ? 2 - c : c;
            const uint32_t most = max_[c];
            const bool words = most > 255, scaled = most != max;
            for (int32_t x = 0; x < width; ++x) {
                uint32_t v = std::min(words ? GetU16LE(row + 2 * size_t(x)) : uint32_t(row[x]), most);
                if (scaled) v = (v * max + most / 2) / most;
                PutSample<Wide>(to, size_t(x) * count_ + at, v);
            }
        }
    }
    // Row y of plane c.
    const uint8_t* Row(uint32_t c, int32_t y) const { return plane_[c] + size_t(y) * size_t(stride_[c]); }

  private:
    const uint8_t* plane_[4] = {};
    int stride_[4] = {};
    uint32_t max_[4] = {};
    uint32_t count_ = 3;
};

// Rows of three or four samples of 0 to maxValue into the sink, in its layout. A file may store its
// colour multiplied by the alpha; the picture holds the colour itself.
void PutSamples(const Planes& planes, bool premultiplied, int32_t width, int32_t height,
                const PixelLayout& layout, RowSink& rows) {
    WithSampleWidth(layout.Wide(), [&](auto wide) {
        for (int32_t y = 0; y < height; ++y) {
            uint8_t* to = rows.Row(y);
            planes.Interleave<decltype(wide)::value>(y, width, layout.MaxValue, layout.BlueFirst, to);
            if (premultiplied) TakeOutPremultipliedAlpha(to, size_t(width), layout.MaxValue);
            rows.Put(y);
        }
    });
}

}  // namespace

bool FCImageHandle_Heif::LoadSource(ByteSource& in) {
    const uint8_t* data = nullptr;
    size_t length = 0;
    if (!TakeWholeFile(in, data, length)) return false;
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
    error = heif_decode_image(primary, &out, heif_colorspace_RGB, heif_chroma_444, options.get());
    const HeifImage decoded(out);
    if (error.code != heif_error_Ok && !WorkingSetAvailable(declaredWidth, declaredHeight, deep, hasAlpha))
        return Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    if (error.code != heif_error_Ok || !decoded) return Refuse(error, Result);
    // The decoder's working buffers went back to the heap, which keeps them resident: given back to
    // the system before the picture is copied out, they do not add to the peak (47 of 89 MB for a
    // 12 MP HEIC).
    malloc_trim(0);
    const int width = heif_image_get_width(out, heif_channel_R);
    const int height = heif_image_get_height(out, heif_channel_R);
    const bool alpha = hasAlpha && heif_image_has_channel(out, heif_channel_Alpha);
    Planes planes;
    if (width <= 0 || height <= 0 || !planes.Take(out, width, height, alpha))
        return Result.Refuse(LoadStatus::Damaged, "no RGB planes");
    const uint32_t bits = planes.Bits(0);
    if (bits < kEightBits || (bits > kEightBits) != deep)
        return Result.Refuse(LoadStatus::Unsupported, std::to_string(bits) + " bits per sample");
    if (!CheckPictureSize(width, height, kPictureBits, Options, Result)) return false;
    const uint32_t maxValue = (1u << bits) - 1;
    const PixelLayout layout{planes.Count(), maxValue, !deep && !alpha};
    if (!Rows.Begin(width, height, layout)) return Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    PutSamples(planes, alpha && heif_image_is_premultiplied_alpha(out), width, height, layout, Rows);
    // A collection's other images are left out as a TIFF's other pages are, and said the same way.
    if (heif_context_get_number_of_top_level_images(ctx.get()) > 1)
        Result.Warnings.push_back(warning::kFrames);
    ReadMetadata(primary, Metadata);
    return true;
}

namespace {

using Encoder = Owned<heif_encoder, heif_encoder_release>;
using EncodingOptions = Owned<heif_encoding_options, heif_encoding_options_free>;

// The quality from which colour keeps its full resolution, as the JPEG writer does.
constexpr int32_t kFullChromaQuality = 90;

heif_error WriteToFile(heif_context*, const void* data, size_t size, void* file) {
    const bool written = static_cast<FileWriter*>(file)->Write(static_cast<const uint8_t*>(data), size);
    return {written ? heif_error_Ok : heif_error_Encoding_error, heif_suberror_Unspecified,
            written ? "" : "write failed"};
}

bool Ok(const heif_error& error) {
    return error.code == heif_error_Ok;
}

}  // namespace

bool FCImageHandle_Heif::WritePicture(const char* path, int32_t flag) {
    const int32_t quality = QualityFromFlag(flag);
    if (quality == 0 || SaveView.Width > kMaxSide || SaveView.Height > kMaxSide) return false;
    const Context ctx(heif_context_alloc());
    heif_encoder* made = nullptr;
    if (!ctx || !Ok(heif_context_get_encoder_for_format(ctx.get(), heif_compression_HEVC, &made)))
        return false;
    const Encoder encoder(made);
    if (!Ok(heif_encoder_set_lossy_quality(made, quality)) ||
        !Ok(heif_encoder_set_parameter_string(made, "chroma", quality >= kFullChromaQuality ? "444" : "420")))
        return false;
    const bool alpha = SaveLayout.HasAlpha();
    heif_image* image = nullptr;
    if (!Ok(heif_image_create(SaveView.Width, SaveView.Height, heif_colorspace_RGB,
                              alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, &image)))
        return false;
    const HeifImage owned(image);
    if (!Ok(heif_image_add_plane(image, heif_channel_interleaved, SaveView.Width, SaveView.Height,
                                 kEightBits)))
        return false;
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    if (plane == nullptr) return false;
    RowSource rows(SaveView, SaveLayout);
    for (int32_t y = 0; y < SaveView.Height; ++y)
        std::memcpy(plane + size_t(y) * size_t(stride), rows.Row(y), rows.RowBytes());
    const PictureMetadata* metadata = SaveMetadata;
    if (metadata != nullptr && !metadata->IccProfile.empty() &&
        !Ok(heif_image_set_raw_color_profile(image, "prof", metadata->IccProfile.data(),
                                             metadata->IccProfile.size())))
        return false;
    const EncodingOptions options(heif_encoding_options_alloc());
    if (!options) return false;
    options->save_alpha_channel = alpha ? 1 : 0;
    heif_image_handle* encoded = nullptr;
    if (!Ok(heif_context_encode_image(ctx.get(), image, made, options.get(), &encoded))) return false;
    const Handle handle(encoded);
    if (metadata != nullptr) {
        // EXIF goes out as every writer sends it: without the thumbnail of what came in.
        std::vector<uint8_t> exif = metadata->Exif;
        PrepareExifForOutput(exif, metadata->Orientation);
        if (!exif.empty() &&
            !Ok(heif_context_add_exif_metadata(ctx.get(), encoded, exif.data(), int(exif.size()))))
            return false;
        if (!metadata->Xmp.empty() &&
            !Ok(heif_context_add_XMP_metadata(ctx.get(), encoded, metadata->Xmp.data(),
                                              int(metadata->Xmp.size()))))
            return false;
    }
    FileWriter out;
    heif_writer writer{1, WriteToFile};
    return out.Open(path) && Ok(heif_context_write(ctx.get(), &writer, &out)) && out.Commit();
}
