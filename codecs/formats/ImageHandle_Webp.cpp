// WebP reader and writer. Still pictures, and the first frame of an animation, decode into the
// sink, blue first without alpha and red first with it: straight into the held rows where the sink
// takes them in place (the 24-bit image's bottom-up rows among them), else through a rectangle of
// their own. Every frame, where the load asks for them, is decoded and drawn on a canvas of our own
// with disposal and blending as a viewer applies them; frames are written through libwebpdemux's
// animation encoder.
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

// A pixel of straight alpha over another, in the integer steps libwebp's animation decoder takes,
// so that a frame shows as libwebp's own tools show it: alpha 0 leaves what is below, and the
// colours are weighted by what each contributes.
void BlendOver(const uint8_t* top, uint8_t* below) {
    const uint32_t a = top[3];
    if (a == 0) return;
    if (a == 255) {
        std::memcpy(below, top, 4);
        return;
    }
    const uint32_t under = (uint32_t(below[3]) * (256 - a)) >> 8;
    const uint32_t total = a + under;
    const uint32_t scale = (1u << 24) / total;
    for (int c = 0; c < 3; ++c)
        below[c] = uint8_t(((uint32_t(top[c]) * a + uint32_t(below[c]) * under) * scale) >> 24);
    below[3] = uint8_t(total);
}

// Every frame, each the whole canvas after it is drawn, into the sink's frames, with their delays
// and the loop count, by the animation decoder's rules on one canvas of our own beside the frames
// (that decoder keeps two). A key frame starts from a transparent canvas and is drawn as it is: the
// first, a whole-canvas frame that does not blend, and one after a key frame or a whole-canvas
// frame disposed to the background. Any other first clears the frame before it where that one is
// disposed to the background (and shows as it is there), then blends over the canvas or replaces it,
// as it says.
// A frame that does not decode ends the frames, with a warning; none decoded is a refusal.
bool DecodeEveryFrame(const WebPDemuxer* demux, int width, int height, RowSink& rows, LoadResult& result) {
    const PixelLayout layout{4, 255, false};
    if (!rows.Begin(width, height, layout)) return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    const size_t rowBytes = layout.RowBytes(width);
    ByteBlock canvas(rowBytes * size_t(height), BlockFill::Zero);
    if (canvas.empty()) return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    rows.Timing.Loops = WebPDemuxGetI(demux, WEBP_FF_LOOP_COUNT);
    WebPIterator frame;
    if (!WebPDemuxGetFrame(demux, 1, &frame)) return Refuse(VP8_STATUS_BITSTREAM_ERROR, result);
    const Owned<WebPIterator, WebPDemuxReleaseIterator> release(&frame);
    uint32_t decoded = 0;
    VP8StatusCode status = VP8_STATUS_OK;
    struct Shown {
        int X = 0, Y = 0, Width = 0, Height = 0;
        bool ToBackground = false;
        bool Key = false;
    } before;
    const auto whole = [&](int w, int h) { return w == width && h == height; };
    do {
        const bool inside = frame.x_offset >= 0 && frame.y_offset >= 0 && frame.width > 0 &&
                            frame.height > 0 && int64_t(frame.x_offset) + frame.width <= width &&
                            int64_t(frame.y_offset) + frame.height <= height;
        if (!inside) {
            status = VP8_STATUS_BITSTREAM_ERROR;
            break;
        }
        const size_t frameRowBytes = layout.RowBytes(frame.width);
        ByteBlock own(frameRowBytes * size_t(frame.height), BlockFill::Unset);
        if (own.empty()) return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
        status = DecodeInto(frame.fragment.bytes, frame.fragment.size,
                            Output{own.data(), int(frameRowBytes), own.size(), MODE_RGBA, false});
        if (status != VP8_STATUS_OK) break;
        const bool blend = frame.blend_method == WEBP_MUX_BLEND;
        const bool key = decoded == 0 || ((!frame.has_alpha || !blend) && whole(frame.width, frame.height)) ||
                         (before.ToBackground && (whole(before.Width, before.Height) || before.Key));
        if (key) {
            std::memset(canvas.data(), 0, canvas.size());
        } else if (before.ToBackground) {
            for (int y = 0; y < before.Height; ++y)
                std::memset(canvas.data() + size_t(before.Y + y) * rowBytes + size_t(before.X) * 4, 0,
                            size_t(before.Width) * 4);
        }
        for (int y = 0; y < frame.height; ++y) {
            const uint8_t* in = own.data() + size_t(y) * frameRowBytes;
            uint8_t* out = canvas.data() + size_t(frame.y_offset + y) * rowBytes + size_t(frame.x_offset) * 4;
            if (key || !blend) {
                std::memcpy(out, in, frameRowBytes);
                continue;
            }
            // Where the frame before was cleared, the canvas is transparent: the frame shows as it is.
            const int canvasY = frame.y_offset + y;
            const bool clearedRow =
                before.ToBackground && canvasY >= before.Y && canvasY < before.Y + before.Height;
            for (int x = 0; x < frame.width; ++x) {
                const int canvasX = frame.x_offset + x;
                if (clearedRow && canvasX >= before.X && canvasX < before.X + before.Width) {
                    std::memcpy(out + 4 * x, in + 4 * x, 4);
                } else {
                    BlendOver(in + 4 * x, out + 4 * x);
                }
            }
        }
        before = {frame.x_offset,
                  frame.y_offset,
                  frame.width,
                  frame.height,
                  frame.dispose_method == WEBP_MUX_DISPOSE_BACKGROUND,
                  key};
        if (decoded > 0 && !rows.NextFrame()) return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
        for (int32_t y = 0; y < height; ++y) rows.PutRow(y, canvas.data() + size_t(y) * rowBytes);
        rows.Timing.DelayMs.push_back(uint32_t(std::max(frame.duration, 0)));
        ++decoded;
    } while (WebPDemuxNextFrame(&frame));
    if (decoded == 0) return Refuse(status, result);
    if (status != VP8_STATUS_OK) {
        LoadResult words;
        Refuse(status, words);
        result.Warnings.push_back(warning::FramesCutShort(decoded, words.Detail));
    }
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
            !DecodeEveryFrame(demux.get(), width, height, Rows, Result))
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
