// JPEG XL reader and writer over libjxl 0.7. The decoder hands its pixels over a scanline piece at
// a time, from its worker threads: pieces gather in rows of our own, each going to the sink once it
// is whole, so the picture is never held in the file's layout beside the form it is sent in. The
// stored orientation is kept for the turn rule (the pixels come as stored). Every frame, where the
// load asks for them, comes composed on the canvas, as viewers show it.
// libjxl reports its failures on standard error as well as in its status: the user's terminal is
// kept clean of them while it runs, the status alone telling what went wrong.
#include "ImageHandle_Jxl.h"

#include <fcntl.h>
#include <jxl/decode.h>
#include <jxl/encode.h>
#include <jxl/thread_parallel_runner.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "ByteBlock.h"
#include "ByteOrder.h"
#include "Exif.h"
#include "FileWriter.h"
#include "OwnedHandle.h"
#include "PictureBits.h"
#include "PictureWarnings.h"
#include "PixelLimit.h"

namespace {

using Decoder = Owned<JxlDecoder, JxlDecoderDestroy>;
using Encoder = Owned<JxlEncoder, JxlEncoderDestroy>;
using Runner = Owned<void, JxlThreadParallelRunnerDestroy>;

// The largest EXIF or XMP box taken, decompressed: as large as the XMP every reader keeps.
constexpr size_t kBoxMax = kKeptXmpMax;
// The first buffer a box is read into; it doubles as the box needs.
constexpr size_t kFirstBoxBuffer = 64 << 10;
// An EXIF box starts with the big-endian distance from its end to the TIFF header.
constexpr size_t kExifOffsetBytes = 4;
// The effort cjxl spends by default: its "squirrel".
constexpr int64_t kEffort = 7;
// The pixel count the codestream's default level allows.
constexpr uint64_t kLevel5Pixels = uint64_t(1) << 28;
constexpr int kLevelForLarger = 10;
constexpr uint32_t kTicksPerMs = 10;
constexpr uint32_t kTicksPerSecond = 1000 * kTicksPerMs;

// Standard error points at nothing while one lives, and back where it was after.
class QuietStderr {
  public:
    QuietStderr() {
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        const int nothing = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && nothing >= 0) dup2(nothing, STDERR_FILENO);
        if (nothing >= 0) close(nothing);
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;
    ~QuietStderr() {
        std::fflush(stderr);
        if (saved_ < 0) return;
        dup2(saved_, STDERR_FILENO);
        close(saved_);
    }

  private:
    int saved_ = -1;
};

Runner NewRunner() {
    return Runner(JxlThreadParallelRunnerCreate(nullptr, JxlThreadParallelRunnerDefaultNumWorkerThreads()));
}

// A profile libjxl would make of the colour encoding is left out where the encoding is sRGB's (or
// grey on sRGB's curve): a file without a profile is taken as sRGB everywhere.
bool IsSrgb(const JxlColorEncoding& c) {
    const bool space = c.color_space == JXL_COLOR_SPACE_GRAY ||
                       (c.color_space == JXL_COLOR_SPACE_RGB && c.primaries == JXL_PRIMARIES_SRGB);
    return space && c.white_point == JXL_WHITE_POINT_D65 && c.transfer_function == JXL_TRANSFER_FUNCTION_SRGB;
}

// The pieces of the rows libjxl hands over, gathered until each row is whole, then put; or, for an
// animation's later frames, gathered into a frame of their own (whole), which joins the sink's
// frames only once it is decoded, so that a damaged one leaves those before it as they are.
class Gatherer {
  public:
    Gatherer(RowSink& rows, uint32_t width, uint32_t height, size_t pixelBytes, uint8_t* whole)
        : rows_(rows), width_(width), pixelBytes_(pixelBytes), whole_(whole), got_(height, 0) {
        if (whole_ == nullptr) pending_.resize(height);
    }

    static void Take(void* opaque, size_t x, size_t y, size_t count, const void* pixels) {
        static_cast<Gatherer*>(opaque)->Piece(x, y, count, static_cast<const uint8_t*>(pixels));
    }
    // Every row in, once the frame is decoded.
    bool Whole() const {
        return !failed_ && std::all_of(got_.begin(), got_.end(), [&](uint32_t n) { return n == width_; });
    }
    bool OutOfMemory() const { return outOfMemory_; }

  private:
    void Piece(size_t x, size_t y, size_t count, const uint8_t* pixels) {
        const std::lock_guard<std::mutex> hold(lock_);
        if (failed_ || y >= got_.size() || x > width_ || count > width_ - x || got_[y] + count > width_) {
            failed_ = true;
            return;
        }
        const size_t rowBytes = size_t(width_) * pixelBytes_;
        if (whole_ != nullptr) {
            std::memcpy(whole_ + y * rowBytes + x * pixelBytes_, pixels, count * pixelBytes_);
            got_[y] += uint32_t(count);
            return;
        }
        if (x == 0 && count == width_) {
            rows_.PutRow(int32_t(y), pixels);
            got_[y] = width_;
            return;
        }
        std::vector<uint8_t>& row = pending_[y];
        if (row.empty()) {
            try {
                row.resize(rowBytes);
            } catch (const std::bad_alloc&) {
                failed_ = outOfMemory_ = true;
                return;
            }
        }
        std::memcpy(row.data() + x * pixelBytes_, pixels, count * pixelBytes_);
        got_[y] += uint32_t(count);
        if (got_[y] < width_) return;
        rows_.PutRow(int32_t(y), row.data());
        std::vector<uint8_t>().swap(row);
    }

    std::mutex lock_;
    RowSink& rows_;
    const uint32_t width_;
    const size_t pixelBytes_;
    uint8_t* const whole_;
    std::vector<std::vector<uint8_t>> pending_;
    std::vector<uint32_t> got_;
    bool failed_ = false;
    bool outOfMemory_ = false;
};

// An EXIF or XMP box read into a buffer that grows to kBoxMax; past it the box is read into a
// scratch buffer and dropped.
class BoxReader {
  public:
    enum Kind { None, Exif, Xmp };
    bool Start(JxlDecoder* dec, Kind kind) {
        kind_ = kind;
        tooLarge_ = false;
        buffer_.assign(kFirstBoxBuffer, 0);
        return JxlDecoderSetBoxBuffer(dec, buffer_.data(), buffer_.size()) == JXL_DEC_SUCCESS;
    }
    bool More(JxlDecoder* dec) {
        const size_t used = buffer_.size() - JxlDecoderReleaseBoxBuffer(dec);
        if (tooLarge_ || buffer_.size() >= kBoxMax) {
            tooLarge_ = true;
            return JxlDecoderSetBoxBuffer(dec, buffer_.data(), buffer_.size()) == JXL_DEC_SUCCESS;
        }
        buffer_.resize(std::min(buffer_.size() * 2, kBoxMax + 1));
        return JxlDecoderSetBoxBuffer(dec, buffer_.data() + used, buffer_.size() - used) == JXL_DEC_SUCCESS;
    }
    // The box just read into its item, where it fits (the first of its kind only).
    void Finish(JxlDecoder* dec, PictureMetadata& metadata, std::vector<std::string>& warnings) {
        if (kind_ == None) return;
        const size_t used = buffer_.size() - JxlDecoderReleaseBoxBuffer(dec);
        const Kind kind = kind_;
        kind_ = None;
        if (tooLarge_) {
            warnings.push_back(
                warning::ItemTooLarge(kind == Exif ? "an EXIF block" : "an XMP packet", kBoxMax));
            return;
        }
        buffer_.resize(used);
        if (kind == Xmp) {
            metadata.Xmp = std::move(buffer_);
        } else if (used >= kExifOffsetBytes) {
            const uint64_t skip = uint64_t(GetU32BE(buffer_.data())) + kExifOffsetBytes;
            if (skip < used) metadata.Exif.assign(buffer_.begin() + std::ptrdiff_t(skip), buffer_.end());
        }
        std::vector<uint8_t>().swap(buffer_);
    }

  private:
    Kind kind_ = None;
    bool tooLarge_ = false;
    std::vector<uint8_t> buffer_;
};

// The frames the file shows, counted from their headers alone, which libjxl reads past each frame's
// data without decoding it; 0 when the headers cannot be read.
uint64_t CountFrames(const uint8_t* data, size_t length) {
    const Decoder dec(JxlDecoderCreate(nullptr));
    if (!dec || JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_FRAME) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(dec.get(), data, length) != JXL_DEC_SUCCESS)
        return 0;
    JxlDecoderCloseInput(dec.get());
    uint64_t frames = 0;
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(dec.get());
        if (status == JXL_DEC_FRAME) {
            ++frames;
            continue;
        }
        return status == JXL_DEC_SUCCESS ? frames : 0;
    }
}

// A frame's duration in the animation's ticks, in milliseconds.
uint32_t Milliseconds(uint32_t ticks, const JxlAnimationHeader& animation) {
    if (animation.tps_numerator == 0) return 0;
    const uint64_t ms = uint64_t(ticks) * 1000u * animation.tps_denominator / animation.tps_numerator;
    return uint32_t(std::min<uint64_t>(ms, UINT32_MAX));
}

}  // namespace

bool FCImageHandle_Jxl::LoadSource(ByteSource& in) {
    const uint8_t* data = nullptr;
    size_t length = 0;
    if (!TakeWholeFile(in, data, length)) return false;
    const JxlSignature signature = JxlSignatureCheck(data, length);
    if (signature != JXL_SIG_CODESTREAM && signature != JXL_SIG_CONTAINER)
        return Result.Refuse(LoadStatus::Damaged, "not a JPEG XL file");
    const QuietStderr quiet;
    const Decoder dec(JxlDecoderCreate(nullptr));
    const Runner runner(NewRunner());
    if (!dec || !runner) return Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    JxlDecoder* d = dec.get();
    if (JxlDecoderSubscribeEvents(d, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FRAME |
                                         JXL_DEC_FULL_IMAGE | JXL_DEC_BOX) != JXL_DEC_SUCCESS ||
        JxlDecoderSetParallelRunner(d, JxlThreadParallelRunner, runner.get()) != JXL_DEC_SUCCESS ||
        JxlDecoderSetKeepOrientation(d, JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetUnpremultiplyAlpha(d, JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetDecompressBoxes(d, JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(d, data, length) != JXL_DEC_SUCCESS)
        return Result.Refuse(LoadStatus::Damaged, "the decoder refused its settings");
    JxlDecoderCloseInput(d);

    JxlBasicInfo info{};
    JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_BIG_ENDIAN, 0};
    PixelLayout layout;
    bool allFrames = false;
    uint64_t frames = 0;  // begun
    uint64_t decoded = 0;
    std::unique_ptr<Gatherer> gatherer;
    ByteBlock frame;  // a later frame's pixels, until it is whole
    uint32_t delay = 0;
    BoxReader box;
    std::string failure = "damaged data";
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(d);
        if (status != JXL_DEC_BOX_NEED_MORE_OUTPUT) box.Finish(d, Metadata, Result.Warnings);
        if (status == JXL_DEC_SUCCESS) break;
        if (status == JXL_DEC_ERROR || status == JXL_DEC_NEED_MORE_INPUT) {
            failure = status == JXL_DEC_ERROR ? "damaged data" : "the file ends early";
            break;
        }
        if (status == JXL_DEC_BASIC_INFO) {
            if (JxlDecoderGetBasicInfo(d, &info) != JXL_DEC_SUCCESS)
                return Result.Refuse(LoadStatus::Damaged, "damaged header");
            if (!CheckPictureSize(info.xsize, info.ysize, kPictureBits, Options, Result)) return false;
            const bool alpha = info.alpha_bits > 0;
            const bool wide = info.bits_per_sample > 8 || info.exponent_bits_per_sample > 0;
            // Grey with alpha comes as colour unless the run keeps grey: otherwise the sink takes
            // grey alone, colour with alpha or without.
            const bool grey = info.num_color_channels == 1;
            const uint32_t channels = grey && Rows.KeepsGrey() ? (alpha ? 2 : 1) : alpha ? 4 : grey ? 1 : 3;
            format = {channels, wide ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8, JXL_BIG_ENDIAN, 0};
            layout = PixelLayout{channels, wide ? 65535u : 255u, false};
            // The codestream's orientation is the one that counts, EXIF's aside; a file that says
            // nothing of it anywhere (upright, no EXIF) says none.
            Metadata.Orientation = uint16_t(info.orientation);
            allFrames = Options.AllFrames && info.have_animation;
            if (allFrames) {
                const uint64_t count = CountFrames(data, length);
                if (count > 1 && !CheckFramesSize(info.xsize, info.ysize, count, Options, Result))
                    return false;
            }
            // The picture's memory is taken at once, as every reader takes it: one that cannot be had
            // is said before libjxl decodes anything.
            if (!Rows.Begin(int32_t(info.xsize), int32_t(info.ysize), layout))
                return Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
        } else if (status == JXL_DEC_COLOR_ENCODING) {
            // Pixels coded in XYB come in any colour space asked for; one the file names only by a
            // profile would need a colour engine, so they come as sRGB instead, without a profile.
            JxlColorEncoding encoding{};
            const bool named =
                JxlDecoderGetColorAsEncodedProfile(d, nullptr, JXL_COLOR_PROFILE_TARGET_ORIGINAL,
                                                   &encoding) == JXL_DEC_SUCCESS;
            if (!info.uses_original_profile && !named) {
                JxlColorEncodingSetToSRGB(&encoding, info.num_color_channels == 1 ? JXL_TRUE : JXL_FALSE);
                if (JxlDecoderSetPreferredColorProfile(d, &encoding) != JXL_DEC_SUCCESS)
                    return Result.Refuse(LoadStatus::Unsupported, "a colour space the decoder cannot give");
                continue;
            }
            if (named && IsSrgb(encoding)) continue;
            size_t size = 0;
            if (JxlDecoderGetICCProfileSize(d, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) !=
                    JXL_DEC_SUCCESS ||
                size == 0 || size > kKeptProfileMax)
                continue;
            Metadata.IccProfile.resize(size);
            if (JxlDecoderGetColorAsICCProfile(d, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                               Metadata.IccProfile.data(), size) != JXL_DEC_SUCCESS)
                Metadata.IccProfile.clear();
        } else if (status == JXL_DEC_FRAME) {
            if (frames > 0 && !allFrames) {
                // The first frame is the picture; the others are only said.
                if (frames == 1) Result.Warnings.push_back(warning::kFrames);
                ++frames;
                if (JxlDecoderSkipCurrentFrame(d) != JXL_DEC_SUCCESS) break;
                continue;
            }
            if (frames > 0) {
                frame = ByteBlock(layout.RowBytes(int32_t(info.xsize)) * info.ysize, BlockFill::Unset);
                if (frame.empty()) return Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
            }
            ++frames;
            JxlFrameHeader header{};
            delay = allFrames && JxlDecoderGetFrameHeader(d, &header) == JXL_DEC_SUCCESS
                        ? Milliseconds(header.duration, info.animation)
                        : 0;
            try {
                gatherer = std::make_unique<Gatherer>(Rows, info.xsize, info.ysize, layout.PixelBytes(),
                                                      frames > 1 ? frame.data() : nullptr);
            } catch (const std::bad_alloc&) {
                return Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
            }
            if (JxlDecoderSetImageOutCallback(d, &format, Gatherer::Take, gatherer.get()) != JXL_DEC_SUCCESS)
                return Result.Refuse(LoadStatus::Damaged, "the decoder refused its output");
        } else if (status == JXL_DEC_FULL_IMAGE) {
            if (gatherer && gatherer->OutOfMemory())
                return Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
            if (!gatherer || !gatherer->Whole()) {
                failure = "damaged data";
                break;
            }
            gatherer.reset();
            if (decoded > 0) {
                if (!Rows.NextFrame()) return Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
                const size_t rowBytes = layout.RowBytes(int32_t(info.xsize));
                for (uint32_t y = 0; y < info.ysize; ++y)
                    Rows.PutRow(int32_t(y), frame.data() + y * rowBytes);
                frame = ByteBlock();
            }
            if (allFrames) {
                Rows.Timing.DelayMs.push_back(delay);
                Rows.Timing.Loops = info.animation.num_loops;
            }
            ++decoded;
        } else if (status == JXL_DEC_BOX) {
            JxlBoxType type;
            if (JxlDecoderGetBoxType(d, type, JXL_TRUE) != JXL_DEC_SUCCESS) continue;
            const BoxReader::Kind kind =
                std::memcmp(type, "Exif", 4) == 0 && Metadata.Exif.empty()  ? BoxReader::Exif
                : std::memcmp(type, "xml ", 4) == 0 && Metadata.Xmp.empty() ? BoxReader::Xmp
                                                                            : BoxReader::None;
            if (kind != BoxReader::None && !box.Start(d, kind))
                return Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
        } else if (status == JXL_DEC_BOX_NEED_MORE_OUTPUT) {
            if (!box.More(d)) return Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
        } else if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
            // The callback is set at each frame's start: only a frame we skip could ask.
            failure = "damaged data";
            break;
        }
    }
    if (Metadata.Orientation == 1 && Metadata.Exif.empty()) Metadata.Orientation = 0;
    if (decoded == 0) {
        if (gatherer && gatherer->OutOfMemory())
            return Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
        return Result.Refuse(LoadStatus::Damaged, failure);
    }
    // A frame begun and not finished is left out: the frames before it stand.
    if (gatherer) Result.Warnings.push_back(warning::FramesCutShort(decoded, failure));
    return true;
}

namespace {

// cjxl's distance for -q: a distance of 1 (visually lossless) at 90, 0.1 at 100 and a steeper
// slope below 30.
float DistanceOf(int32_t quality) {
    if (quality >= 30) return float(0.1 + (100 - quality) * 0.09);
    return float(6.4 + std::pow(2.5, (30 - quality) / 5.0) / 6.25);
}

// The rows of view in layout, gathered into one block for the encoder.
ByteBlock Gather(const PictureView& view, const PixelLayout& layout) {
    RowSource rows(view, layout);
    const size_t rowBytes = rows.RowBytes();
    ByteBlock block(rowBytes * size_t(view.Height), BlockFill::Unset);
    if (block.empty()) return block;
    for (int32_t y = 0; y < view.Height; ++y)
        std::memcpy(block.data() + size_t(y) * rowBytes, rows.Row(y), rowBytes);
    return block;
}

bool Ok(JxlEncoderStatus status) {
    return status == JXL_ENC_SUCCESS;
}

struct Settings {
    const PictureView* View;
    PixelLayout Layout;
    const Picture* Frames;  // null for a still picture
    const PictureMetadata* Metadata;
    int32_t Quality;
    bool WithProfile;
};

// The whole file, or false. A profile libjxl refuses is no error: it says so in refused, and the
// caller starts again without one (libjxl 0.7 aborts if the same encoder goes on).
bool Encode(const Settings& s, std::vector<uint8_t>& out, bool& refused) {
    refused = false;
    const Encoder encoder(JxlEncoderCreate(nullptr));
    const Runner runner(NewRunner());
    if (!encoder || !runner) return false;
    JxlEncoder* enc = encoder.get();
    if (!Ok(JxlEncoderSetParallelRunner(enc, JxlThreadParallelRunner, runner.get()))) return false;
    const PictureView& view = *s.View;
    const bool lossless = s.Quality == FCImageHandle_Jxl::kLosslessQuality;
    const bool alpha = s.Layout.HasAlpha();
    const uint32_t bits = s.Layout.Wide() ? 16 : 8;
    const PictureMetadata* metadata = s.Metadata;
    std::vector<uint8_t> exif;
    if (metadata != nullptr && !metadata->Exif.empty()) {
        // The box leads with the distance to the TIFF header: none. EXIF goes out as every writer
        // sends it: without the thumbnail of what came in.
        std::vector<uint8_t> tiff = metadata->Exif;
        PrepareExifForOutput(tiff, metadata->Orientation);
        exif.assign(kExifOffsetBytes, 0);
        exif.insert(exif.end(), tiff.begin(), tiff.end());
    }
    const bool xmp = metadata != nullptr && !metadata->Xmp.empty();
    if ((!exif.empty() || xmp) && !Ok(JxlEncoderUseBoxes(enc))) return false;
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = uint32_t(view.Width);
    info.ysize = uint32_t(view.Height);
    info.bits_per_sample = bits;
    const bool grey = s.Layout.Channels <= 2;
    info.num_color_channels = grey ? 1 : 3;
    info.num_extra_channels = alpha ? 1 : 0;
    info.alpha_bits = alpha ? bits : 0;
    // Lossy coding goes through XYB, which libjxl 0.7 decodes back to a named colour space only: a
    // picture with a profile of its own is coded in its own space, so that its colours and profile
    // come back as they went in.
    info.uses_original_profile = lossless || s.WithProfile ? JXL_TRUE : JXL_FALSE;
    if (metadata != nullptr && metadata->Orientation >= 1 && metadata->Orientation <= 8)
        info.orientation = JxlOrientation(metadata->Orientation);
    if (s.Frames != nullptr) {
        info.have_animation = JXL_TRUE;
        // Ticks of a tenth of a millisecond: a frame of 0 ms lasts one, which reads back as 0, where a
        // frame of no ticks would be merged into the next.
        info.animation.tps_numerator = kTicksPerSecond;
        info.animation.tps_denominator = 1;
        info.animation.num_loops = s.Frames->Timing.Loops;
    }
    if (uint64_t(view.Width) * uint64_t(view.Height) > kLevel5Pixels &&
        !Ok(JxlEncoderSetCodestreamLevel(enc, kLevelForLarger)))
        return false;
    if (!Ok(JxlEncoderSetBasicInfo(enc, &info))) return false;
    if (alpha) {
        JxlExtraChannelInfo channel;
        JxlEncoderInitExtraChannelInfo(JXL_CHANNEL_ALPHA, &channel);
        channel.bits_per_sample = bits;
        if (!Ok(JxlEncoderSetExtraChannelInfo(enc, 0, &channel))) return false;
    }
    if (s.WithProfile) {
        if (!Ok(JxlEncoderSetICCProfile(enc, metadata->IccProfile.data(), metadata->IccProfile.size()))) {
            refused = true;
            return false;
        }
    } else {
        JxlColorEncoding srgb;
        JxlColorEncodingSetToSRGB(&srgb, grey ? JXL_TRUE : JXL_FALSE);
        if (!Ok(JxlEncoderSetColorEncoding(enc, &srgb))) return false;
    }
    if (!exif.empty() && !Ok(JxlEncoderAddBox(enc, "Exif", exif.data(), exif.size(), JXL_FALSE)))
        return false;
    if (xmp && !Ok(JxlEncoderAddBox(enc, "xml ", metadata->Xmp.data(), metadata->Xmp.size(), JXL_FALSE)))
        return false;
    if (!exif.empty() || xmp) JxlEncoderCloseBoxes(enc);
    JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(enc, nullptr);
    if (settings == nullptr ||
        !Ok(JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, kEffort)))
        return false;
    if (lossless ? !Ok(JxlEncoderSetFrameLossless(settings, JXL_TRUE))
                 : !Ok(JxlEncoderSetFrameDistance(settings, DistanceOf(s.Quality))))
        return false;
    const JxlPixelFormat format{s.Layout.Channels, bits == 16 ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8,
                                JXL_BIG_ENDIAN, 0};
    const size_t count = s.Frames != nullptr ? s.Frames->FrameCount() : 1;
    for (size_t i = 0; i < count; ++i) {
        if (s.Frames != nullptr) {
            JxlFrameHeader header;
            JxlEncoderInitFrameHeader(&header);
            header.duration = uint32_t(std::min<uint64_t>(
                std::max<uint64_t>(uint64_t(s.Frames->Timing.DelayOf(i)) * kTicksPerMs, 1), UINT32_MAX));
            if (!Ok(JxlEncoderSetFrameHeader(settings, &header))) return false;
        }
        const ByteBlock pixels = Gather(s.Frames != nullptr ? s.Frames->Frames[i]->View() : view, s.Layout);
        if (pixels.empty() || !Ok(JxlEncoderAddImageFrame(settings, &format, pixels.data(), pixels.size())))
            return false;
    }
    JxlEncoderCloseInput(enc);
    out.resize(1 << 16);
    size_t used = 0;
    for (;;) {
        uint8_t* next = out.data() + used;
        size_t room = out.size() - used;
        const JxlEncoderStatus status = JxlEncoderProcessOutput(enc, &next, &room);
        used = size_t(next - out.data());
        if (status == JXL_ENC_SUCCESS) break;
        if (status != JXL_ENC_NEED_MORE_OUTPUT) return false;
        out.resize(out.size() * 2);
    }
    out.resize(used);
    return true;
}

// libjxl 0.7 writes some long profiles it cannot read back: the file's own profile, read as a
// reader will, must be the one sent.
bool ProfileReadsBack(const std::vector<uint8_t>& file, const std::vector<uint8_t>& profile) {
    const Decoder dec(JxlDecoderCreate(nullptr));
    if (!dec || JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_COLOR_ENCODING) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(dec.get(), file.data(), file.size()) != JXL_DEC_SUCCESS)
        return false;
    JxlDecoderCloseInput(dec.get());
    if (JxlDecoderProcessInput(dec.get()) != JXL_DEC_COLOR_ENCODING) return false;
    size_t size = 0;
    if (JxlDecoderGetICCProfileSize(dec.get(), nullptr, JXL_COLOR_PROFILE_TARGET_ORIGINAL, &size) !=
            JXL_DEC_SUCCESS ||
        size != profile.size())
        return false;
    std::vector<uint8_t> back(size);
    return JxlDecoderGetColorAsICCProfile(dec.get(), nullptr, JXL_COLOR_PROFILE_TARGET_ORIGINAL, back.data(),
                                          size) == JXL_DEC_SUCCESS &&
           back == profile;
}

}  // namespace

bool FCImageHandle_Jxl::WritePicture(const char* path, int32_t flag) {
    const int32_t quality = QualityFromFlag(flag);
    if (quality == 0 || SaveView.Width > kMaxSide || SaveView.Height > kMaxSide) return false;
    const QuietStderr quiet;
    Settings settings{&SaveView,    SaveLayout, SaveFrames,
                      SaveMetadata, quality,    SaveMetadata != nullptr && !SaveMetadata->IccProfile.empty()};
    std::vector<uint8_t> file;
    bool refused = false;
    bool encoded = Encode(settings, file, refused);
    // A profile refused, or one that would not read back, gives way to sRGB's.
    if ((refused || (encoded && settings.WithProfile && !ProfileReadsBack(file, SaveMetadata->IccProfile)))) {
        settings.WithProfile = false;
        encoded = Encode(settings, file, refused);
    }
    FileWriter out;
    return encoded && out.Open(path) && out.Write(file.data(), file.size()) && out.Commit();
}
