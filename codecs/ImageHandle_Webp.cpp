// WebP reader and writer. Still pictures decode straight into the image's bottom-up rows; an
// animation is composed by libwebpdemux and only its first frame kept. Colour is taken as stored:
// alpha is dropped, never multiplied in. ICC, EXIF and XMP chunks travel through libwebpmux.
#include "ImageHandle_Webp.h"

#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <cstring>
#include <memory>

#include "Exif.h"
#include "FileWriter.h"
#include "ImageAt24Bits.h"
#include "LossyQuality.h"
#include "PixelLimit.h"

namespace {

constexpr size_t kRgbaPixelBytes = 4;
constexpr int32_t kMinQuality = 1;
// Some writers keep the JPEG APP1 prefix in the EXIF chunk; the record holds TIFF bytes only.
constexpr char kExifPrefix[] = "Exif\0\0";
constexpr size_t kExifPrefixBytes = 6;

struct DemuxDelete {
    void operator()(WebPDemuxer* demux) const { WebPDemuxDelete(demux); }
};
struct AnimDecoderDelete {
    void operator()(WebPAnimDecoder* decoder) const { WebPAnimDecoderDelete(decoder); }
};
struct MuxDelete {
    void operator()(WebPMux* mux) const { WebPMuxDelete(mux); }
};
struct WebPFreeBytes {
    void operator()(uint8_t* bytes) const { WebPFree(bytes); }
};

void CopyChunk(const WebPDemuxer* demux, const char* fourcc, std::vector<uint8_t>& into) {
    WebPChunkIterator chunk;
    if (!WebPDemuxGetChunk(demux, fourcc, 1, &chunk)) return;
    into.assign(chunk.chunk.bytes, chunk.chunk.bytes + chunk.chunk.size);
    WebPDemuxReleaseChunkIterator(&chunk);
}

void ReadMetadata(const uint8_t* data, size_t length, PictureMetadata& metadata) {
    const WebPData bytes = {data, length};
    const std::unique_ptr<WebPDemuxer, DemuxDelete> demux(WebPDemux(&bytes));
    if (!demux) return;
    CopyChunk(demux.get(), "ICCP", metadata.IccProfile);
    CopyChunk(demux.get(), "EXIF", metadata.Exif);
    CopyChunk(demux.get(), "XMP ", metadata.Xmp);
    if (metadata.Exif.size() >= kExifPrefixBytes &&
        std::memcmp(metadata.Exif.data(), kExifPrefix, kExifPrefixBytes) == 0)
        metadata.Exif.erase(metadata.Exif.begin(), metadata.Exif.begin() + kExifPrefixBytes);
}

// libwebp fills the rows from the top; flipped, it starts at the end of the block, which is where
// the image keeps its top row.
bool DecodeStill(const uint8_t* data, size_t length, FCObjImage& image) {
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) return false;
    config.options.flip = 1;
    config.output.colorspace = MODE_BGR;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = image.PixelStore;
    config.output.u.RGBA.stride = image.Stride();
    config.output.u.RGBA.size = size_t(image.Stride()) * size_t(image.InfoHeader.biHeight);
    const VP8StatusCode status = WebPDecode(data, length, &config);
    WebPFreeDecBuffer(&config.output);
    return status == VP8_STATUS_OK;
}

// The canvas is composed in non-premultiplied RGBA, so the colour of a half-transparent pixel is
// the stored one.
bool DecodeFirstFrame(const uint8_t* data, size_t length, FCObjImage& image) {
    const WebPData bytes = {data, length};
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options)) return false;
    options.color_mode = MODE_RGBA;
    options.use_threads = 0;
    const std::unique_ptr<WebPAnimDecoder, AnimDecoderDelete> decoder(WebPAnimDecoderNew(&bytes, &options));
    WebPAnimInfo info;
    if (!decoder || !WebPAnimDecoderGetInfo(decoder.get(), &info)) return false;
    if (int64_t(info.canvas_width) != image.InfoHeader.biWidth ||
        int64_t(info.canvas_height) != image.InfoHeader.biHeight)
        return false;
    uint8_t* canvas = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderGetNext(decoder.get(), &canvas, &timestamp) || canvas == nullptr) return false;
    const size_t width = size_t(info.canvas_width);
    for (uint32_t y = 0; y < info.canvas_height; ++y) {
        const uint8_t* from = canvas + size_t(y) * width * kRgbaPixelBytes;
        uint8_t* to = image.RowTable[y];
        for (size_t x = 0; x < width; ++x, from += kRgbaPixelBytes, to += 3) {
            to[0] = from[2];
            to[1] = from[1];
            to[2] = from[0];
        }
    }
    return true;
}

// The encoder reads rows from the top: the top row is the last one of the block, so it walks
// the block backwards.
bool Encode(const FCObjImage& image, int32_t quality, uint8_t*& output, size_t& size) {
    const uint8_t* top = image.RowTable[0];
    const int stride = -image.Stride();
    const int width = image.InfoHeader.biWidth;
    const int height = image.InfoHeader.biHeight;
    size = quality == FCImageHandle_Webp::kLosslessQuality
               ? WebPEncodeLosslessBGR(top, width, height, stride, &output)
               : WebPEncodeBGR(top, width, height, stride, float(quality), &output);
    return size != 0 && output != nullptr;
}

bool AddChunk(WebPMux* mux, const char* fourcc, const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return true;
    const WebPData chunk = {bytes.data(), bytes.size()};
    return WebPMuxSetChunk(mux, fourcc, &chunk, 0) == WEBP_MUX_OK;
}

// The bare bitstream when there is nothing to add; else a container with the chunks.
bool WriteWithMetadata(const uint8_t* bitstream, size_t size, const PictureMetadata* metadata,
                       FileWriter& out) {
    if (metadata == nullptr || metadata->Empty()) return out.Write(bitstream, size);
    const std::unique_ptr<WebPMux, MuxDelete> mux(WebPMuxNew());
    const WebPData image = {bitstream, size};
    // EXIF goes out as every writer sends it: without the thumbnail of what came in.
    std::vector<uint8_t> exif = metadata->Exif;
    PrepareExifForOutput(exif, metadata->Orientation);
    if (!mux || WebPMuxSetImage(mux.get(), &image, 0) != WEBP_MUX_OK ||
        !AddChunk(mux.get(), "ICCP", metadata->IccProfile) || !AddChunk(mux.get(), "EXIF", exif) ||
        !AddChunk(mux.get(), "XMP ", metadata->Xmp))
        return false;
    WebPData assembled;
    WebPDataInit(&assembled);
    if (WebPMuxAssemble(mux.get(), &assembled) != WEBP_MUX_OK) return false;
    const bool written = out.Write(assembled.bytes, assembled.size);
    WebPDataClear(&assembled);
    return written;
}

}  // namespace

bool FCImageHandle_Webp::LoadMemory(const uint8_t* data, int32_t length) {
    if (data == nullptr || length <= 0) return false;
    WebPBitstreamFeatures features;
    if (WebPGetFeatures(data, size_t(length), &features) != VP8_STATUS_OK) return false;
    if (!CheckPictureSize(features.width, features.height, kPictureBits, Result)) return false;
    auto image = std::make_unique<FCObjImage>();
    if (!image->Create(features.width, features.height, kPictureBits)) return false;
    const bool decoded = features.has_animation ? DecodeFirstFrame(data, size_t(length), *image)
                                                : DecodeStill(data, size_t(length), *image);
    if (!decoded) return false;
    if (features.has_animation) Result.Warnings.push_back("is animated; only the first frame is used");
    if (features.has_alpha) Result.Warnings.push_back("has transparency, which is not kept");
    ReadMetadata(data, size_t(length), Metadata);
    PushObject(image.release());
    return true;
}

bool FCImageHandle_Webp::SaveFile(const char* path, int32_t flag) {
    const int32_t quality = QualityFromFlag(flag);
    if (quality == 0) return false;
    std::unique_ptr<FCObjImage> widened;
    const FCObjImage* image = ImageAt24Bits(ImageToSave(), widened);
    if (image == nullptr || image->InfoHeader.biWidth > kMaxSide || image->InfoHeader.biHeight > kMaxSide)
        return false;
    uint8_t* bitstream = nullptr;
    size_t size = 0;
    const bool encoded = Encode(*image, quality, bitstream, size);
    const std::unique_ptr<uint8_t, WebPFreeBytes> owned(bitstream);
    if (!encoded) return false;
    FileWriter out;
    return out.Open(path) && WriteWithMetadata(bitstream, size, SaveMetadata, out) && out.Commit();
}
