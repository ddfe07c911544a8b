// libheif and libspng called directly, decoding to interleaved RGB in memory and encoding from it.
#include "LibraryDrivers.h"

#include <libheif/heif.h>
#include <spng.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace {

using Pixels = std::unique_ptr<uint8_t[]>;

// What the PNG writer chooses (codecs/formats/ImageHandle_Png.cpp): the reference does the same work.
constexpr int kPngCompressionLevel = 1;
constexpr int kPngFilterChoice = SPNG_FILTER_CHOICE_AVG;
constexpr int kPngCompressionStrategy = Z_RLE;

struct SpngFree {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
using SpngContext = std::unique_ptr<spng_ctx, SpngFree>;

int WriteToStream(spng_ctx*, void* user, void* data, size_t length) {
    return std::fwrite(data, 1, length, static_cast<std::FILE*>(user)) == length ? 0 : SPNG_IO_ERROR;
}

}  // namespace

// One read of the whole length: a stream iterator would take a call per byte.
std::vector<uint8_t> ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<uint8_t> bytes(in ? size_t(in.tellg()) : 0);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    if (size_t(in.gcount()) != bytes.size()) bytes.clear();
    return bytes;
}

bool WriteWhole(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) return false;
    const bool written = std::fwrite(data, 1, size, out) == size;
    return std::fclose(out) == 0 && written;
}

bool DriverHeifLoad(const std::string& path) {
    const std::vector<uint8_t> file = ReadWhole(path);
    heif_context* ctx = heif_context_alloc();
    heif_image_handle* handle = nullptr;
    heif_image* image = nullptr;
    bool ok =
        heif_context_read_from_memory_without_copy(ctx, file.data(), file.size(), nullptr).code ==
            heif_error_Ok &&
        heif_context_get_primary_image_handle(ctx, &handle).code == heif_error_Ok &&
        heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr).code ==
            heif_error_Ok;
    if (ok) {
        int stride = 0;
        const uint8_t* plane = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
        const int w = heif_image_get_width(image, heif_channel_interleaved);
        const int h = heif_image_get_height(image, heif_channel_interleaved);
        const Pixels pixels(new uint8_t[size_t(w) * h * 3]);
        for (int y = 0; y < h; ++y)
            std::copy(plane + size_t(y) * stride, plane + size_t(y) * stride + size_t(w) * 3,
                      pixels.get() + size_t(y) * w * 3);
    }
    heif_image_release(image);
    heif_image_handle_release(handle);
    heif_context_free(ctx);
    return ok;
}

bool DriverPngLoad(const std::string& path, Rgb* kept) {
    const std::vector<uint8_t> file = ReadWhole(path);
    const SpngContext ctx(spng_ctx_new(0));
    spng_ihdr ihdr{};
    size_t size = 0;
    if (!ctx || spng_set_png_buffer(ctx.get(), file.data(), file.size()) != SPNG_OK ||
        spng_get_ihdr(ctx.get(), &ihdr) != SPNG_OK ||
        spng_decoded_image_size(ctx.get(), SPNG_FMT_RGB8, &size) != SPNG_OK)
        return false;
    const Pixels pixels(new uint8_t[size]);
    if (spng_decode_image(ctx.get(), pixels.get(), size, SPNG_FMT_RGB8, 0) != SPNG_OK) return false;
    if (kept != nullptr) *kept = Rgb{int(ihdr.width), int(ihdr.height), {pixels.get(), pixels.get() + size}};
    return true;
}

bool DriverPngSave(const Rgb& rgb, const std::string& path) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) return false;
    const SpngContext ctx(spng_ctx_new(SPNG_CTX_ENCODER));
    spng_ihdr ihdr{};
    ihdr.width = uint32_t(rgb.width);
    ihdr.height = uint32_t(rgb.height);
    ihdr.bit_depth = 8;
    ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
    const bool encoded =
        ctx && spng_set_png_stream(ctx.get(), WriteToStream, out) == SPNG_OK &&
        spng_set_ihdr(ctx.get(), &ihdr) == SPNG_OK &&
        spng_set_option(ctx.get(), SPNG_IMG_COMPRESSION_LEVEL, kPngCompressionLevel) == SPNG_OK &&
        spng_set_option(ctx.get(), SPNG_FILTER_CHOICE, kPngFilterChoice) == SPNG_OK &&
        spng_set_option(ctx.get(), SPNG_IMG_COMPRESSION_STRATEGY, kPngCompressionStrategy) == SPNG_OK &&
        spng_encode_image(ctx.get(), rgb.bytes.data(), rgb.bytes.size(), SPNG_FMT_PNG,
                          SPNG_ENCODE_FINALIZE) == SPNG_OK;
    return std::fclose(out) == 0 && encoded;
}
