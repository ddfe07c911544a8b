// GIF decoding through giflib: the logical screen with the first frame drawn on it. Records are
// read one by one up to the end of that frame, so whatever follows it can be damaged.
#include <gif_lib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

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
};
static_assert(sizeof(Bgr) == kBgrPixelBytes, "a Bgr is copied as one stored pixel");

// One entry for every possible pixel byte: indices past the map's end stay black, and a missing
// map leaves the whole table black.
using ColourTable = std::array<Bgr, kMaxColours>;

ColourTable MakeColourTable(const ColorMapObject* map) {
    ColourTable table{};
    if (map == nullptr || map->Colors == nullptr) return table;
    const size_t count = std::min(size_t(std::max(map->ColorCount, 0)), kMaxColours);
    for (size_t i = 0; i < count; ++i) {
        table[i] = Bgr{map->Colors[i].Blue, map->Colors[i].Green, map->Colors[i].Red};
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

// Decision: pixels the first frame does not cover show the screen's background colour, black when
// there is no screen map or the background index lies past it.
void FillBackground(const GifFileType* gif, FCObjImage& image) {
    const ColorMapObject* map = gif->SColorMap;
    const int index = gif->SBackGroundColor;
    if (map == nullptr || map->Colors == nullptr || index < 0 || index >= map->ColorCount) return;
    const GifColorType& entry = map->Colors[index];
    const Bgr colour{entry.Blue, entry.Green, entry.Red};
    if (colour.blue == 0 && colour.green == 0 && colour.red == 0) return;  // the block starts black
    const int width = image.InfoHeader.biWidth;
    uint8_t* top = image.RowTable[0];
    for (int x = 0; x < width; ++x) std::memcpy(top + size_t(x) * kBgrPixelBytes, &colour, kBgrPixelBytes);
    for (int y = 1; y < image.InfoHeader.biHeight; ++y) {
        std::memcpy(image.RowTable[y], top, size_t(width) * kBgrPixelBytes);
    }
}

void DrawLine(const std::vector<GifPixelType>& line, const ColourTable& colours, const VisibleArea& area,
              int frameLeft, uint8_t* row) {
    for (int x = area.left; x < area.right; ++x) {
        std::memcpy(row + size_t(x) * kBgrPixelBytes, &colours[line[size_t(x - frameLeft)]], kBgrPixelBytes);
    }
}

// Transparency is ignored: a transparent index draws its map colour like any other. Reading stops
// once every visible row is drawn, so rows hanging below the screen are never decoded.
bool DrawFirstFrame(GifFileType* gif, FCObjImage& image) {
    const GifImageDesc& frame = gif->Image;
    const VisibleArea area = ClipToScreen(frame, image.InfoHeader.biWidth, image.InfoHeader.biHeight);
    if (area.rows == 0) return true;
    const ColourTable colours = MakeColourTable(frame.ColorMap != nullptr ? frame.ColorMap : gif->SColorMap);
    std::vector<GifPixelType> line(size_t(frame.Width));
    int rowsLeft = area.rows;
    const RowPass* passes = frame.Interlace ? kInterlacedPasses : kSequentialPasses;
    const size_t passCount = frame.Interlace ? std::size(kInterlacedPasses) : std::size(kSequentialPasses);
    for (size_t p = 0; p < passCount; ++p) {
        for (int row = passes[p].start; row < frame.Height; row += passes[p].step) {
            if (DGifGetLine(gif, line.data(), frame.Width) != GIF_OK) return false;
            if (row >= area.rows) continue;
            DrawLine(line, colours, area, frame.Left, image.RowTable[frame.Top + row]);
            if (--rowsLeft == 0) return true;
        }
    }
    return true;
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

// Sub-blocks up to their empty terminator; the first data byte, when there is one, into first.
bool SkipSubBlocks(ByteSource& in, uint8_t* first = nullptr) {
    uint8_t size = 0;
    bool isFirst = true;
    for (;;) {
        if (!in.U8(size)) return false;
        if (size == 0) return true;
        const uint8_t* block = nullptr;
        if (!in.Take(size, block)) return false;
        if (isFirst && first != nullptr) *first = block[0];
        isFirst = false;
    }
}

struct GifExtras {
    bool Transparent = false;  // the first frame has a transparent colour
    bool Animated = false;     // a second frame follows it
};

// What the decoded picture cannot show, from a walk of the blocks that stops at the second frame
// or at the first damaged block.
GifExtras FindGifExtras(const uint8_t* data, size_t length) {
    GifExtras extras;
    ByteSource in(data, length);
    uint8_t packed = 0;
    if (!in.Seek(kScreenDescriptorEnd - 3) || !in.U8(packed) || !in.Skip(2) || !SkipColourTable(in, packed))
        return extras;
    int frames = 0;
    uint8_t introducer = 0;
    while (frames < 2 && in.U8(introducer)) {
        if (introducer == kExtensionIntroducer) {
            uint8_t label = 0;
            uint8_t control = 0;
            if (!in.U8(label) || !SkipSubBlocks(in, &control)) break;
            if (label == kGraphicControlLabel && frames == 0 && (control & kTransparentFlag) != 0)
                extras.Transparent = true;
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
    return extras;
}

// giflib's own words for why it stopped, its memory failure said as every reader says it.
bool Refuse(int error, LoadResult& result) {
    if (error == D_GIF_ERR_NOT_ENOUGH_MEM) return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    const char* reason = GifErrorString(error);
    return result.Refuse(LoadStatus::Damaged, reason != nullptr ? reason : "unknown error");
}

}  // namespace

bool DecodeGifPicture(const uint8_t* data, size_t length, const LoadOptions& options, FCObjImage& image,
                      LoadResult& result) {
    ByteSource source(data, length);
    int error = 0;
    GifHandle gif(DGifOpen(&source, ReadFromSource, &error));
    if (!gif) return Refuse(error, result);
    const int width = gif->SWidth;
    const int height = gif->SHeight;
    // The screen size is all a tiny file needs to claim: checked before any frame is read.
    if (!CheckPictureSize(width, height, kPictureBits, options.PixelLimit, result)) return false;
    if (!ReadFirstFrameDescriptor(gif.get())) return Refuse(gif->Error, result);
    if (!image.Create(width, height, kPictureBits))
        return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    FillBackground(gif.get(), image);
    if (!DrawFirstFrame(gif.get(), image)) return Refuse(gif->Error, result);
    const GifExtras extras = FindGifExtras(data, length);
    if (extras.Transparent) result.Warnings.push_back(warning::kTransparency);
    if (extras.Animated) result.Warnings.push_back(warning::kFrames);
    return true;
}
