// WebP reader and writer. Still pictures, and the first frame of an animation, decode into the
// sink, blue first without alpha and red first with it: straight into the held rows where the sink
// takes them in place (the 24-bit image's bottom-up rows among them), else through a rectangle of
// their own. Every frame, where the load asks for them, comes through libwebpdemux's animation
// decoder, which applies disposal and blending as a viewer does; frames are written through its
// encoder.
// Colour is taken as stored: alpha is dropped or kept, never multiplied in. ICC, EXIF and XMP
// chunks travel through libwebpdemux and libwebpmux.
#include "ImageHandle_Webp.h"

#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <new>

#include "ByteBlock.h"
#include "Exif.h"
#include "FileWriter.h"
#include "LossyQuality.h"
#include "OwnedHandle.h"
#include "PictureBits.h"
#include "PictureView.h"
#include "PictureWarnings.h"
#include "PixelLimit.h"

namespace {

// Some writers keep the JPEG APP1 prefix in the EXIF chunk; the record holds TIFF bytes only.
constexpr char kExifPrefix[] = "Exif\0\0";
constexpr size_t kExifPrefixBytes = 6;

using Demuxer = Owned<WebPDemuxer, WebPDemuxDelete>;
using Muxer = Owned<WebPMux, WebPMuxDelete>;
using Picture = Owned<WebPPicture, WebPPictureFree>;  // in this file; a run's picture is ::Picture

// The effort libwebp's own lossless calls spend.
constexpr float kLosslessEffort = 70;

// libwebp's own words for a status; its memory failure is said as every reader says it.
bool Refuse(VP8StatusCode status, LoadResult& result) {
    static const char* const kWords[] = {
        "ok",        "out of memory", "invalid parameter", "bitstream error", "unsupported feature",
        "suspended", "user abort",    "not enough data"};
    const char* words = size_t(status) < std::size(kWords) ? kWords[status] : "unknown error";
    if (status == VP8_STATUS_OUT_OF_MEMORY) return result.Refuse(LoadStatus::OutOfMemory, words);
    return result.Refuse(
        status == VP8_STATUS_UNSUPPORTED_FEATURE ? LoadStatus::Unsupported : LoadStatus::Damaged, words);
}

void CopyChunk(const WebPDemuxer* demux, const char* fourcc, std::vector<uint8_t>& into) {
    WebPChunkIterator chunk;
    if (!WebPDemuxGetChunk(demux, fourcc, 1, &chunk)) return;
    into.assign(chunk.chunk.bytes, chunk.chunk.bytes + chunk.chunk.size);
    WebPDemuxReleaseChunkIterator(&chunk);
}

void ReadMetadata(const WebPDemuxer* demux, PictureMetadata& metadata) {
    CopyChunk(demux, "ICCP", metadata.IccProfile);
    CopyChunk(demux, "EXIF", metadata.Exif);
    CopyChunk(demux, "XMP ", metadata.Xmp);
    if (metadata.Exif.size() >= kExifPrefixBytes &&
        std::memcmp(metadata.Exif.data(), kExifPrefix, kExifPrefixBytes) == 0)
        metadata.Exif.erase(metadata.Exif.begin(), metadata.Exif.begin() + kExifPrefixBytes);
}

// Where a decoded rectangle goes: the first byte of its top row, the distance from one row to the
// next, and the bytes from that first byte to the end of the rectangle.
struct Output {
    uint8_t* Top;
    int Stride;
    size_t Size;
    WEBP_CSP_MODE Mode;
    bool Flip;  // the rows go from the end of the buffer up
};

// The rectangle of a view that starts at column left, row top. libwebp fills rows from the top and
// takes no negative stride; flipped, it starts at the end of its buffer, which is where rows that
// go up through memory (the 24-bit image's) keep the rectangle's top row.
Output InView(const PictureView& view, WEBP_CSP_MODE mode, int left, int top, int width, int height) {
    const bool up = view.Stride < 0;
    const size_t stride = size_t(up ? -view.Stride : view.Stride);
    const size_t pixel = view.Layout.PixelBytes();
    return {view.Row(up ? top + height - 1 : top) + size_t(left) * pixel, int(stride),
            stride * size_t(height - 1) + size_t(width) * pixel, mode, up};
}

// Decodes a still bitstream, or one frame's, into its output. Colour is taken as stored: alpha is
// dropped or kept, never multiplied in.
VP8StatusCode DecodeInto(const uint8_t* data, size_t length, const Output& output) {
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) return VP8_STATUS_INVALID_PARAM;
    config.options.flip = output.Flip ? 1 : 0;
    config.output.colorspace = output.Mode;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = output.Top;
    config.output.u.RGBA.stride = output.Stride;
    config.output.u.RGBA.size = output.Size;
    const VP8StatusCode status = WebPDecode(data, length, &config);
    WebPFreeDecBuffer(&config.output);
    return status;
}

using OutputFor = std::function<Output(int left, int top, int width, int height)>;

// Decision: of an animation only the first frame is decoded, straight into its place on the
// canvas; the rest of the canvas is the transparent black an animation starts from, whose colour
// as stored is black. A first frame blends onto a transparent canvas as itself.
VP8StatusCode DecodeFirstFrame(const WebPDemuxer* demux, int canvasWidth, int canvasHeight,
                               const OutputFor& output) {
    WebPIterator frame;
    if (!WebPDemuxGetFrame(demux, 1, &frame)) return VP8_STATUS_BITSTREAM_ERROR;
    VP8StatusCode status = VP8_STATUS_BITSTREAM_ERROR;
    if (frame.x_offset >= 0 && frame.y_offset >= 0 && frame.width > 0 && frame.height > 0 &&
        int64_t(frame.x_offset) + frame.width <= canvasWidth &&
        int64_t(frame.y_offset) + frame.height <= canvasHeight)
        status = DecodeInto(frame.fragment.bytes, frame.fragment.size,
                            output(frame.x_offset, frame.y_offset, frame.width, frame.height));
    WebPDemuxReleaseIterator(&frame);
    return status;
}

// True when an animation's first frame leaves part of the canvas uncovered: that part is
// transparent even where no frame has alpha.
bool LeavesCanvasUncovered(const WebPDemuxer* demux, int canvasWidth, int canvasHeight) {
    WebPIterator frame;
    if (!WebPDemuxGetFrame(demux, 1, &frame)) return false;
    const bool uncovered = frame.x_offset != 0 || frame.y_offset != 0 || frame.width != canvasWidth ||
                           frame.height != canvasHeight;
    WebPDemuxReleaseIterator(&frame);
    return uncovered;
}

// libwebp takes a picture whole, in rows of 8-bit colour red or blue first, with or without alpha,
// at any stride: the held rows go in as they lie (the 24-bit image's bottom-up through a negative
// stride), any other layout gathered in the chosen one first. Lossless works on ARGB words, lossy
// on YUV, as libwebp's own calls import them.
bool Import(const PictureView& view, PixelLayout layout, WebPPicture& picture) {
    const uint8_t* top = view.Top;
    ptrdiff_t stride = view.Stride;
    ByteBlock gathered;
    if (view.Layout.Wide() || view.Layout.Channels != layout.Channels) {
        RowSource rows(view, layout);
        const size_t rowBytes = rows.RowBytes();
        gathered = ByteBlock(rowBytes * size_t(view.Height), BlockFill::Unset);
        if (gathered.data() == nullptr) return false;
        for (int32_t y = 0; y < view.Height; ++y)
            std::memcpy(gathered.data() + size_t(y) * rowBytes, rows.Row(y), rowBytes);
        top = gathered.data();
        stride = ptrdiff_t(rowBytes);
    } else {
        layout = view.Layout;
    }
    const int rowStride = int(stride);
    if (layout.HasAlpha())
        return layout.BlueFirst ? WebPPictureImportBGRA(&picture, top, rowStride)
                                : WebPPictureImportRGBA(&picture, top, rowStride);
    return layout.BlueFirst ? WebPPictureImportBGR(&picture, top, rowStride)
                            : WebPPictureImportRGB(&picture, top, rowStride);
}

// Lossy at a quality; lossless at the top one, colour under transparent pixels kept exactly too.
bool Configure(int32_t quality, WebPConfig& config) {
    const bool lossless = quality == FCImageHandle_Webp::kLosslessQuality;
    if (!WebPConfigPreset(&config, WEBP_PRESET_DEFAULT, lossless ? kLosslessEffort : float(quality)))
        return false;
    config.lossless = lossless ? 1 : 0;
    config.exact = lossless ? 1 : 0;
    return true;
}

bool Encode(const PictureView& view, PixelLayout layout, int32_t quality, WebPMemoryWriter& written) {
    WebPConfig config;
    if (!Configure(quality, config)) return false;
    WebPPicture picture;
    if (!WebPPictureInit(&picture)) return false;
    picture.use_argb = config.lossless;
    picture.width = view.Width;
    picture.height = view.Height;
    const Picture owned(&picture);
    if (!Import(view, layout, picture)) return false;
    picture.writer = WebPMemoryWrite;
    picture.custom_ptr = &written;
    return WebPEncode(&config, &picture) != 0;
}

using AnimationEncoder = Owned<WebPAnimEncoder, WebPAnimEncoderDelete>;

// Every frame at its delay, the animation looping as the picture says; assembled into animation.
bool EncodeFrames(const ::Picture& frames, PixelLayout layout, int32_t quality, WebPData& animation) {
    const PictureView first = frames.View();
    WebPAnimEncoderOptions options;
    WebPConfig config;
    if (!WebPAnimEncoderOptionsInit(&options) || !Configure(quality, config)) return false;
    options.anim_params.loop_count = int(std::min<uint32_t>(frames.Timing.Loops, 65535));
    options.anim_params.bgcolor = 0;  // transparent black, where a viewer uses it
    const AnimationEncoder encoder(WebPAnimEncoderNew(first.Width, first.Height, &options));
    if (!encoder) return false;
    // A frame lasts at most 2^24 - 1 ms in the container, and the running time must fit an int.
    constexpr uint32_t kLongestDelay = (1u << 24) - 1;
    int64_t timestamp = 0;
    for (size_t i = 0; i < frames.FrameCount(); ++i) {
        WebPPicture picture;
        if (!WebPPictureInit(&picture)) return false;
        picture.use_argb = 1;  // the encoder compares frames as ARGB
        picture.width = first.Width;
        picture.height = first.Height;
        const Picture owned(&picture);
        if (!Import(frames.Frames[i]->View(), layout, picture) ||
            !WebPAnimEncoderAdd(encoder.get(), &picture, int(timestamp), &config))
            return false;
        timestamp += std::min(frames.Timing.DelayOf(i), kLongestDelay);
        if (timestamp > INT32_MAX) return false;
    }
    return WebPAnimEncoderAdd(encoder.get(), nullptr, int(timestamp), nullptr) &&
           WebPAnimEncoderAssemble(encoder.get(), &animation);
}

bool AddChunk(WebPMux* mux, const char* fourcc, const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return true;
    const WebPData chunk = {bytes.data(), bytes.size()};
    return WebPMuxSetChunk(mux, fourcc, &chunk, 0) == WEBP_MUX_OK;
}

// The bare bitstream (or animation) when there is nothing to add; else a container with the chunks.
bool WriteWithMetadata(const uint8_t* bitstream, size_t size, const PictureMetadata* metadata,
                       FileWriter& out, bool animation = false) {
    if (metadata == nullptr || metadata->HoldsNoBlocks()) return out.Write(bitstream, size);
    const WebPData image = {bitstream, size};
    const Muxer mux(animation ? WebPMuxCreate(&image, 1) : WebPMuxNew());
    // EXIF goes out as every writer sends it: without the thumbnail of what came in.
    std::vector<uint8_t> exif = metadata->Exif;
    PrepareExifForOutput(exif, metadata->Orientation);
    if (!mux || (!animation && WebPMuxSetImage(mux.get(), &image, 0) != WEBP_MUX_OK) ||
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

using AnimationDecoder = Owned<WebPAnimDecoder, WebPAnimDecoderDelete>;

// Every frame, each the whole canvas after it is drawn, into the sink's frames, with their delays
// and the loop count. A frame that does not decode ends the frames, with a warning; none decoded is
// a refusal.
bool DecodeEveryFrame(const WebPData& bytes, RowSink& rows, LoadResult& result) {
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options)) return Refuse(VP8_STATUS_INVALID_PARAM, result);
    options.color_mode = MODE_RGBA;  // as stored, not multiplied by alpha
    const AnimationDecoder decoder(WebPAnimDecoderNew(&bytes, &options));
    WebPAnimInfo info;
    if (!decoder || !WebPAnimDecoderGetInfo(decoder.get(), &info))
        return Refuse(VP8_STATUS_BITSTREAM_ERROR, result);
    const int width = int(info.canvas_width), height = int(info.canvas_height);
    if (!rows.Begin(width, height, PixelLayout{4, 255, false}))
        return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    rows.Timing.Loops = info.loop_count;
    const size_t rowBytes = size_t(width) * 4;
    int shownUntil = 0;
    uint32_t decoded = 0;
    while (decoded < info.frame_count && WebPAnimDecoderHasMoreFrames(decoder.get())) {
        uint8_t* canvas = nullptr;
        int timestamp = 0;
        if (!WebPAnimDecoderGetNext(decoder.get(), &canvas, &timestamp)) break;
        if (decoded > 0 && !rows.NextFrame()) return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
        for (int32_t y = 0; y < height; ++y) rows.PutRow(y, canvas + size_t(y) * rowBytes);
        rows.Timing.DelayMs.push_back(uint32_t(std::max(timestamp - shownUntil, 0)));
        shownUntil = timestamp;
        ++decoded;
    }
    if (decoded == 0) return Refuse(VP8_STATUS_BITSTREAM_ERROR, result);
    if (decoded < info.frame_count)
        result.Warnings.push_back(warning::FramesCutShort(decoded, "bitstream error"));
    return true;
}

}  // namespace

bool FCImageHandle_Webp::LoadSource(ByteSource& in) {
    const uint8_t* data = nullptr;
    size_t length = 0;
    if (!TakeWholeFile(in, data, length)) return false;
    WebPBitstreamFeatures features;
    const VP8StatusCode read = WebPGetFeatures(data, size_t(length), &features);
    if (read != VP8_STATUS_OK) return Refuse(read, Result);
    const WebPData bytes = {data, size_t(length)};
    const Demuxer demux(WebPDemux(&bytes));
    if (!demux) return Refuse(VP8_STATUS_BITSTREAM_ERROR, Result);
    // The canvas of an animation, the picture itself otherwise.
    const int width = int(WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH));
    const int height = int(WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT));
    if (!CheckPictureSize(width, height, kPictureBits, Options, Result)) return false;
    const uint32_t frames = WebPDemuxGetI(demux.get(), WEBP_FF_FRAME_COUNT);
    if (Options.AllFrames && features.has_animation && frames >= 2) {
        if (!CheckFramesSize(width, height, frames, Options, Result) ||
            !DecodeEveryFrame(bytes, Rows, Result))
            return false;
        ReadMetadata(demux.get(), Metadata);
        return true;
    }
    const bool uncovered = features.has_animation && LeavesCanvasUncovered(demux.get(), width, height);
    const bool alpha = features.has_alpha || uncovered;
    // libwebp decodes into the held rows where the sink takes them in place, else into a rectangle
    // of its own whose rows then go to the sink.
    const PixelLayout layout = alpha ? PixelLayout{4, 255, false} : kImage24Layout;
    const WEBP_CSP_MODE mode = alpha ? MODE_RGBA : MODE_BGR;
    if (!Rows.Begin(width, height, layout)) return Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    const PictureView held = Rows.InPlace();
    ByteBlock own;
    size_t ownRowBytes = 0;
    int left = 0, top = 0, decodedWidth = 0, decodedHeight = 0;
    bool made = true;
    const OutputFor output = [&](int x, int y, int w, int h) {
        left = x, top = y, decodedWidth = w, decodedHeight = h;
        if (held.Valid()) return InView(held, mode, x, y, w, h);
        ownRowBytes = layout.RowBytes(w);
        own = ByteBlock(ownRowBytes * size_t(h), BlockFill::Unset);
        made = own.data() != nullptr;
        return Output{own.data(), int(ownRowBytes), own.size(), mode, false};
    };
    const VP8StatusCode status = features.has_animation
                                     ? DecodeFirstFrame(demux.get(), width, height, output)
                                     : DecodeInto(data, size_t(length), output(0, 0, width, height));
    if (!made) return Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    if (status != VP8_STATUS_OK) return Refuse(status, Result);
    const size_t leftBytes = size_t(left) * layout.PixelBytes();
    const bool whole = left == 0 && decodedWidth == width;
    // The rows taken give their memory back, so that the picture is not held whole twice.
    FrontRelease taken(own.data());
    for (int32_t r = 0; r < decodedHeight; ++r) {
        const int32_t y = top + r;
        if (own.empty()) {
            Rows.Put(y, uint32_t(left), 1, uint32_t(left + decodedWidth));
            continue;
        }
        const uint8_t* row = own.data() + size_t(r) * ownRowBytes;
        if (whole) {
            Rows.PutRow(y, row);
        } else {
            std::memcpy(Rows.Row(y) + leftBytes, row, ownRowBytes);
            Rows.Put(y, uint32_t(left), 1, uint32_t(left + decodedWidth));
        }
        taken.Consumed(ownRowBytes * size_t(r + 1));
    }
    if (uncovered) Rows.NoteUncovered();
    if (features.has_animation) Result.Warnings.push_back(warning::kFrames);
    ReadMetadata(demux.get(), Metadata);
    return true;
}

bool FCImageHandle_Webp::WritePicture(const char* path, int32_t flag) {
    const int32_t quality = QualityFromFlag(flag);
    if (quality == 0 || SaveView.Width > kMaxSide || SaveView.Height > kMaxSide) return false;
    FileWriter out;
    if (SaveFrames != nullptr) {
        WebPData animation;
        WebPDataInit(&animation);
        const Owned<WebPData, WebPDataClear> clear(&animation);
        return EncodeFrames(*SaveFrames, SaveLayout, quality, animation) && out.Open(path) &&
               WriteWithMetadata(animation.bytes, animation.size, SaveMetadata, out, true) && out.Commit();
    }
    WebPMemoryWriter written;
    WebPMemoryWriterInit(&written);
    const Owned<WebPMemoryWriter, WebPMemoryWriterClear> clear(&written);
    return Encode(SaveView, SaveLayout, quality, written) && out.Open(path) &&
           WriteWithMetadata(written.mem, written.size, SaveMetadata, out) && out.Commit();
}
