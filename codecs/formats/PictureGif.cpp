// GIF decoding through giflib: the logical screen with the first frame drawn on it, with alpha
// where the load keeps it. Records are read one by one up to the end of that frame, so whatever
// follows it can be damaged. Asked for every frame, the screen is drawn as a viewer shows it after
// each one, the frames' disposal applied in between.
#include <gif_lib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "ByteBlock.h"
#include "ByteSource.h"
#include "ImageSize.h"
#include "OwnedHandle.h"
#include "PictureBits.h"
#include "PictureDecoders.h"
#include "PictureWarnings.h"
#include "PixelLimit.h"

namespace {

constexpr size_t kMaxColours = 256;

// Interlaced frames store rows in four passes: every 8th row from 0, every 8th from 4, every 4th
// from 2, every 2nd from 1.
struct RowPass {
    int start;
    int step;
};
constexpr RowPass kInterlacedPasses[] = {{0, 8}, {4, 8}, {2, 4}, {1, 2}};
constexpr RowPass kSequentialPasses[] = {{0, 1}};

int ReadFromSource(GifFileType* gif, GifByteType* out, int count) {
    return count > 0 ? int(static_cast<ByteSource*>(gif->UserData)->BytesUpTo(out, uint64_t(count))) : 0;
}

void CloseGif(GifFileType* gif) {
    int error = 0;
    DGifCloseFile(gif, &error);
}
using GifHandle = Owned<GifFileType, CloseGif>;

struct Bgr {
    uint8_t blue = 0;
    uint8_t green = 0;
    uint8_t red = 0;
    Bgr() = default;
    Bgr(const GifColorType& c) : blue(c.Blue), green(c.Green), red(c.Red) {}
    // The colour the screen's background is drawn in.
    static Bgr Background(const GifColorType& c) { return Bgr(c); }
};
static_assert(sizeof(Bgr) == kBgrPixelBytes, "a Bgr is copied as one stored pixel");

// A pixel of the sample image: 8-bit red, green, blue and alpha; opaque unless made otherwise.
struct Rgba {
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
    uint8_t alpha = 255;
    Rgba() = default;
    Rgba(const GifColorType& c, uint8_t a = 255) : red(c.Red), green(c.Green), blue(c.Blue), alpha(a) {}
    static Rgba Background(const GifColorType& c) { return Rgba(c, 0); }
};
static_assert(sizeof(Rgba) == 4, "an Rgba is copied as one sample pixel");

// One entry for every possible pixel byte: indices past the map's end stay black (and opaque),
// and a missing map leaves the whole table black.
template <class Pixel>
using ColourTable = std::array<Pixel, kMaxColours>;

// With alpha, the transparent index, when there is one (-1: none), has alpha 0.
template <class Pixel>
ColourTable<Pixel> MakeColourTable(const ColorMapObject* map, int transparent) {
    ColourTable<Pixel> table{};
    const size_t count = map == nullptr || map->Colors == nullptr
                             ? 0
                             : std::min(size_t(std::max(map->ColorCount, 0)), kMaxColours);
    for (size_t i = 0; i < count; ++i) table[i] = Pixel(map->Colors[i]);
    if constexpr (std::is_same_v<Pixel, Rgba>) {
        if (transparent >= 0) table[size_t(transparent)].alpha = 0;
    }
    return table;
}

// The part of the screen a frame covers; empty when the frame lies wholly outside it.
struct VisibleArea {
    int left = 0;
    int right = 0;
    int rows = 0;
};

VisibleArea ClipToScreen(const GifImageDesc& frame, int screenWidth, int screenHeight) {
    VisibleArea area;
    if (frame.Left < 0 || frame.Top < 0 || frame.Width <= 0 || frame.Height <= 0) return area;
    area.left = std::min(frame.Left, screenWidth);
    area.right = std::min(frame.Left + frame.Width, screenWidth);
    if (area.left < area.right && frame.Top < screenHeight) {
        area.rows = std::min(frame.Height, screenHeight - frame.Top);
    }
    return area;
}

bool SkipExtension(GifFileType* gif) {
    int code = 0;
    GifByteType* block = nullptr;
    if (DGifGetExtension(gif, &code, &block) != GIF_OK) return false;
    while (block != nullptr) {
        if (DGifGetExtensionNext(gif, &block) != GIF_OK) return false;
    }
    return true;
}

// Reads records up to and including the first image descriptor; a file that ends first has no picture.
bool ReadFirstFrameDescriptor(GifFileType* gif) {
    for (;;) {
        GifRecordType type = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif, &type) != GIF_OK) return false;
        if (type == IMAGE_DESC_RECORD_TYPE) return DGifGetImageDesc(gif) == GIF_OK;
        if (type != EXTENSION_RECORD_TYPE || !SkipExtension(gif)) return false;
    }
}

// The screen's rows, in the reader's layout.
struct Screen {
    int Width;
    int Height;
    std::function<uint8_t*(int)> Row;
};

// Decision: pixels the first frame does not cover show the screen's background colour, black when
// there is no screen map or the background index lies past it; where alpha is kept, they are
// transparent.
template <class Pixel>
void FillBackground(const Pixel& colour, const Screen& screen) {
    static const Pixel kZero{};
    if (std::memcmp(&colour, &kZero, sizeof colour) == 0) return;  // the block starts zero
    uint8_t* top = screen.Row(0);
    for (int x = 0; x < screen.Width; ++x)
        std::memcpy(top + size_t(x) * sizeof colour, &colour, sizeof colour);
    for (int y = 1; y < screen.Height; ++y)
        std::memcpy(screen.Row(y), top, size_t(screen.Width) * sizeof colour);
}

const GifColorType* BackgroundColour(const GifFileType* gif) {
    const ColorMapObject* map = gif->SColorMap;
    const int index = gif->SBackGroundColor;
    if (map == nullptr || map->Colors == nullptr || index < 0 || index >= map->ColorCount) return nullptr;
    return &map->Colors[index];
}

template <class Pixel>
void DrawLine(const std::vector<GifPixelType>& line, const ColourTable<Pixel>& colours,
              const VisibleArea& area, int frameLeft, uint8_t* row) {
    for (int x = area.left; x < area.right; ++x) {
        std::memcpy(row + size_t(x) * sizeof(Pixel), &colours[line[size_t(x - frameLeft)]], sizeof(Pixel));
    }
}

// A transparent index draws as its table entry says: its map colour, opaque in the 24-bit image.
// Reading stops once every visible row is drawn, so rows hanging below the screen are never decoded.
template <class Pixel>
bool DrawFirstFrame(GifFileType* gif, const ColourTable<Pixel>& colours, const Screen& screen) {
    const GifImageDesc& frame = gif->Image;
    const VisibleArea area = ClipToScreen(frame, screen.Width, screen.Height);
    if (area.rows == 0) return true;
    std::vector<GifPixelType> line(size_t(frame.Width));
    int rowsLeft = area.rows;
    const RowPass* passes = frame.Interlace ? kInterlacedPasses : kSequentialPasses;
    const size_t passCount = frame.Interlace ? std::size(kInterlacedPasses) : std::size(kSequentialPasses);
    for (size_t p = 0; p < passCount; ++p) {
        for (int row = passes[p].start; row < frame.Height; row += passes[p].step) {
            if (DGifGetLine(gif, line.data(), frame.Width) != GIF_OK) return false;
            if (row >= area.rows) continue;
            DrawLine(line, colours, area, frame.Left, screen.Row(frame.Top + row));
            if (--rowsLeft == 0) return true;
        }
    }
    return true;
}

// The screen as a viewer first shows it: the background, then the first frame in the colours of
// its own map, or the screen's when it has none.
template <class Pixel>
bool DrawScreen(GifFileType* gif, int transparent, const Screen& screen) {
    const GifColorType* background = BackgroundColour(gif);
    if (background != nullptr) FillBackground(Pixel::Background(*background), screen);
    const ColorMapObject* map = gif->Image.ColorMap != nullptr ? gif->Image.ColorMap : gif->SColorMap;
    return DrawFirstFrame(gif, MakeColourTable<Pixel>(map, transparent), screen);
}

constexpr size_t kScreenDescriptorEnd = 13;  // the signature and the logical screen descriptor
constexpr size_t kFrameDescriptorBytes = 9;
constexpr uint8_t kHasColourTable = 0x80;
constexpr uint8_t kColourTableSizeBits = 0x07;
constexpr uint8_t kExtensionIntroducer = 0x21;
constexpr uint8_t kFrameSeparator = 0x2C;
constexpr uint8_t kGraphicControlLabel = 0xF9;
constexpr uint8_t kTransparentFlag = 0x01;

bool SkipColourTable(ByteSource& in, uint8_t packed) {
    return (packed & kHasColourTable) == 0 ||
           in.Skip(kBgrPixelBytes << ((packed & kColourTableSizeBits) + 1));
}

// Sub-blocks up to their empty terminator; the first, when there is one, into first (its bytes
// stay in the source's memory) and firstSize.
bool SkipSubBlocks(ByteSource& in, const uint8_t** first = nullptr, uint8_t* firstSize = nullptr) {
    uint8_t size = 0;
    bool isFirst = true;
    for (;;) {
        if (!in.U8(size)) return false;
        if (size == 0) return true;
        const uint8_t* block = nullptr;
        if (!in.Take(size, block)) return false;
        if (isFirst && first != nullptr) *first = block, *firstSize = size;
        isFirst = false;
    }
}

constexpr size_t kTransparentIndexAt = 3;  // in the graphic control block: flags, delay, index

struct GifExtras {
    bool Transparent = false;   // the first frame has a transparent colour
    int TransparentIndex = -1;  // its index, where the control block holds one
    bool Animated = false;      // a second frame follows it
    uint64_t Frames = 0;        // counted up to the second, or all of them when asked
};

// What the decoded picture cannot show, from a walk of the blocks that stops at the second frame
// (or, with countAll, at the end) or at the first damaged block. The walk only skips bytes, so a
// file claiming thousands of frames is counted before any is decoded.
GifExtras FindGifExtras(const uint8_t* data, size_t length, bool countAll) {
    GifExtras extras;
    ByteSource in(data, length);
    uint8_t packed = 0;
    if (!in.Seek(kScreenDescriptorEnd - 3) || !in.U8(packed) || !in.Skip(2) || !SkipColourTable(in, packed))
        return extras;
    uint64_t frames = 0;
    uint8_t introducer = 0;
    while ((countAll || frames < 2) && in.U8(introducer)) {
        if (introducer == kExtensionIntroducer) {
            uint8_t label = 0;
            const uint8_t* control = nullptr;
            uint8_t size = 0;
            if (!in.U8(label) || !SkipSubBlocks(in, &control, &size)) break;
            if (label != kGraphicControlLabel || frames != 0 || control == nullptr) continue;
            if ((control[0] & kTransparentFlag) == 0) continue;
            extras.Transparent = true;
            if (size > kTransparentIndexAt) extras.TransparentIndex = control[kTransparentIndexAt];
        } else if (introducer == kFrameSeparator) {
            ++frames;
            if (!in.Skip(kFrameDescriptorBytes - 1) || !in.U8(packed) || !SkipColourTable(in, packed) ||
                !in.Skip(1) || !SkipSubBlocks(in))
                break;
        } else {
            break;
        }
    }
    extras.Animated = frames >= 2;
    extras.Frames = frames;
    return extras;
}

// giflib's own words for why it stopped, its memory failure said as every reader says it.
bool Refuse(int error, LoadResult& result) {
    if (error == D_GIF_ERR_NOT_ENOUGH_MEM) return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    const char* reason = GifErrorString(error);
    return result.Refuse(LoadStatus::Damaged, reason != nullptr ? reason : "unknown error");
}

// True when the frame leaves part of the screen uncovered.
bool LeavesScreenUncovered(const GifImageDesc& frame, int width, int height) {
    const VisibleArea area = ClipToScreen(frame, width, height);
    return frame.Top != 0 || area.left != 0 || area.right != width || area.rows != height;
}

// The screen into the sink: with alpha as 8-bit red, green, blue and alpha, else blue first as the
// 24-bit image holds it. Drawn in the held rows where the sink takes them in place, else in a
// picture of its own whose rows then go over.
template <class Pixel>
bool DrawIntoSink(GifFileType* gif, const GifExtras& extras, RowSink& rows, LoadResult& result) {
    constexpr bool kAlpha = std::is_same_v<Pixel, Rgba>;
    const PixelLayout layout = kAlpha ? PixelLayout{4, 255, false} : kImage24Layout;
    const int width = gif->SWidth, height = gif->SHeight;
    if (!rows.Begin(width, height, layout)) return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    const PictureView held = rows.InPlace();
    const size_t rowBytes = layout.RowBytes(width);
    ByteBlock own;
    if (!held.Valid()) {
        // Zero, as the held picture starts.
        own = ByteBlock(rowBytes * size_t(height), BlockFill::Zero);
        if (own.empty()) return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    }
    const Screen screen{width, height,
                        [&](int y) { return own.empty() ? held.Row(y) : own.data() + rowBytes * size_t(y); }};
    if (!DrawScreen<Pixel>(gif, extras.TransparentIndex, screen)) return Refuse(gif->Error, result);
    // The rows taken give their memory back, so that the picture is not held whole twice.
    FrontRelease taken(own.data());
    for (int32_t y = 0; y < height; ++y) {
        if (own.empty()) {
            rows.Put(y);
            continue;
        }
        rows.PutRow(y, screen.Row(y));
        taken.Consumed(rowBytes * size_t(y + 1));
    }
    return true;
}

constexpr int kDisposeToBackground = 2;
constexpr int kDisposeToPrevious = 3;
constexpr size_t kLoopBlockBytes = 3;  // 1, then the count, least significant byte first
constexpr char kNetscape[] = "NETSCAPE2.0";
constexpr size_t kNetscapeBytes = sizeof kNetscape - 1;

// What a graphic control block says of the frame that follows it.
struct FrameControl {
    int Disposal = 0;
    uint32_t DelayCentiseconds = 0;
    int Transparent = -1;
};

// The control block of the next frame, or the loop count, from an extension; the rest is skipped.
bool ReadFrameExtension(GifFileType* gif, FrameControl& control, FrameTiming& timing, bool& looped) {
    int code = 0;
    GifByteType* block = nullptr;
    if (DGifGetExtension(gif, &code, &block) != GIF_OK) return false;
    if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr && block[0] >= 4) {
        control.Disposal = (block[1] >> 2) & 0x07;
        control.DelayCentiseconds = uint32_t(block[2]) | uint32_t(block[3]) << 8;
        control.Transparent = (block[1] & kTransparentFlag) != 0 ? block[4] : -1;
    }
    const bool netscape = code == APPLICATION_EXT_FUNC_CODE && block != nullptr &&
                          block[0] >= kNetscapeBytes &&
                          std::memcmp(block + 1, kNetscape, kNetscapeBytes) == 0;
    while (block != nullptr) {
        if (DGifGetExtensionNext(gif, &block) != GIF_OK) return false;
        if (netscape && block != nullptr && block[0] >= kLoopBlockBytes && block[1] == 1 && !looped) {
            timing.Loops = uint32_t(block[2]) | uint32_t(block[3]) << 8;
            looped = true;
        }
    }
    return true;
}

// One frame over the screen: its visible rows drawn, the transparent index leaving what is below
// (the first frame draws it as its entry says, as a still picture does), and the rest of its data
// skipped once every visible row is in.
bool DrawFrameOver(GifFileType* gif, const FrameControl& control, bool first, const Screen& screen) {
    const GifImageDesc& frame = gif->Image;
    const ColorMapObject* map = frame.ColorMap != nullptr ? frame.ColorMap : gif->SColorMap;
    const ColourTable<Rgba> colours = MakeColourTable<Rgba>(map, control.Transparent);
    const VisibleArea area = ClipToScreen(frame, screen.Width, screen.Height);
    std::vector<GifPixelType> line(size_t(std::max(frame.Width, 0)));
    int rowsLeft = area.rows, linesLeft = frame.Height;
    const RowPass* passes = frame.Interlace ? kInterlacedPasses : kSequentialPasses;
    const size_t passCount = frame.Interlace ? std::size(kInterlacedPasses) : std::size(kSequentialPasses);
    for (size_t p = 0; p < passCount && rowsLeft > 0; ++p) {
        for (int row = passes[p].start; row < frame.Height && rowsLeft > 0; row += passes[p].step) {
            if (DGifGetLine(gif, line.data(), frame.Width) != GIF_OK) return false;
            --linesLeft;
            if (row >= area.rows) continue;
            uint8_t* out = screen.Row(frame.Top + row);
            for (int x = area.left; x < area.right; ++x) {
                const GifPixelType index = line[size_t(x - frame.Left)];
                if (!first && int(index) == control.Transparent) continue;
                std::memcpy(out + size_t(x) * sizeof(Rgba), &colours[index], sizeof(Rgba));
            }
            --rowsLeft;
        }
    }
    // giflib moves past a frame's data by itself only once its last line is read.
    if (linesLeft > 0 || frame.Width <= 0 || frame.Height <= 0) {
        GifByteType* block = nullptr;
        do {
            if (DGifGetCodeNext(gif, &block) != GIF_OK) return false;
        } while (block != nullptr);
    }
    return true;
}

// What a frame's disposal leaves on the screen for the next one.
void Dispose(const FrameControl& control, const GifImageDesc& frame, const Rgba& clear,
             const ByteBlock& saved, const Screen& screen) {
    const VisibleArea area = ClipToScreen(frame, screen.Width, screen.Height);
    for (int row = 0; row < area.rows; ++row) {
        const size_t at = size_t(area.left) * sizeof(Rgba);
        uint8_t* out = screen.Row(frame.Top + row) + at;
        if (control.Disposal == kDisposeToPrevious && !saved.empty()) {
            const size_t rowBytes = size_t(screen.Width) * sizeof(Rgba);
            std::memcpy(out, saved.data() + size_t(frame.Top + row) * rowBytes + at,
                        size_t(area.right - area.left) * sizeof(Rgba));
        } else if (control.Disposal == kDisposeToBackground) {
            for (int x = area.left; x < area.right; ++x, out += sizeof(Rgba))
                std::memcpy(out, &clear, sizeof clear);
        }
    }
}

// Every frame, each as the whole screen after it is drawn, into the sink's frames, with their
// delays and the loop count. Damage after a frame keeps the frames before it, with a warning; none
// drawn is a refusal.
bool DrawEveryFrame(GifFileType* gif, uint64_t counted, RowSink& rows, LoadResult& result) {
    const int width = gif->SWidth, height = gif->SHeight;
    const PixelLayout layout{4, 255, false};
    if (!rows.Begin(width, height, layout)) return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    const size_t rowBytes = layout.RowBytes(width);
    ByteBlock canvas(rowBytes * size_t(height), BlockFill::Zero);
    if (canvas.empty()) return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    const Screen screen{width, height, [&](int y) { return canvas.data() + rowBytes * size_t(y); }};
    Rgba clear;
    clear.alpha = 0;
    if (const GifColorType* background = BackgroundColour(gif)) clear = Rgba::Background(*background);
    FillBackground(clear, screen);
    FrameTiming& timing = rows.Timing;
    timing.Loops = 1;
    bool looped = false;
    FrameControl control, shown;
    GifImageDesc shownArea{};
    ByteBlock saved;
    uint64_t drawn = 0;
    bool damaged = false;
    while (drawn < counted) {
        GifRecordType type = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif, &type) != GIF_OK ||
            (type != EXTENSION_RECORD_TYPE && type != IMAGE_DESC_RECORD_TYPE)) {
            damaged = type != TERMINATE_RECORD_TYPE;
            break;
        }
        if (type == EXTENSION_RECORD_TYPE) {
            if (!ReadFrameExtension(gif, control, timing, looped)) {
                damaged = true;
                break;
            }
            continue;
        }
        if (DGifGetImageDesc(gif) != GIF_OK) {
            damaged = true;
            break;
        }
        if (drawn > 0) Dispose(shown, shownArea, clear, saved, screen);
        if (control.Disposal == kDisposeToPrevious) {
            saved = ByteBlock(canvas.size(), BlockFill::Unset);
            if (saved.empty()) return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
            std::memcpy(saved.data(), canvas.data(), canvas.size());
        }
        if (!DrawFrameOver(gif, control, drawn == 0, screen)) {
            damaged = true;
            break;
        }
        if (drawn > 0 && !rows.NextFrame()) return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
        for (int32_t y = 0; y < height; ++y) rows.PutRow(y, screen.Row(y));
        timing.DelayMs.push_back(control.DelayCentiseconds * 10);
        shown = control;
        shownArea = gif->Image;
        control = FrameControl();
        ++drawn;
    }
    if (drawn == 0) return Refuse(gif->Error, result);
    if (damaged) {
        const char* words = GifErrorString(gif->Error);
        result.Warnings.push_back(warning::FramesCutShort(drawn, words != nullptr ? words : "unknown error"));
    }
    return true;
}

}  // namespace

bool DecodeGifPicture(const uint8_t* data, size_t length, const LoadOptions& options, RowSink& rows,
                      LoadResult& result) {
    ByteSource source(data, length);
    int error = 0;
    GifHandle gif(DGifOpen(&source, ReadFromSource, &error));
    if (!gif) return Refuse(error, result);
    const int width = gif->SWidth;
    const int height = gif->SHeight;
    // The screen size is all a tiny file needs to claim: checked before any frame is read.
    if (!CheckPictureSize(width, height, kPictureBits, options, result)) return false;
    if (options.AllFrames) {
        const GifExtras all = FindGifExtras(data, length, true);
        if (all.Frames >= 2)
            return CheckFramesSize(width, height, all.Frames, options, result) &&
                   DrawEveryFrame(gif.get(), all.Frames, rows, result);
    }
    if (!ReadFirstFrameDescriptor(gif.get())) return Refuse(gif->Error, result);
    const GifExtras extras = FindGifExtras(data, length, false);
    const bool alpha = extras.Transparent || LeavesScreenUncovered(gif->Image, width, height);
    if (!(alpha ? DrawIntoSink<Rgba>(gif.get(), extras, rows, result)
                : DrawIntoSink<Bgr>(gif.get(), extras, rows, result)))
        return false;
    if (extras.Animated) result.Warnings.push_back(warning::kFrames);
    return true;
}
