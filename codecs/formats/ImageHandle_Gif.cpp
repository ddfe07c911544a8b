// GIF writer: the picture indexed once (GifPalette.cpp), then the screen, a graphics control
// extension when one entry is transparent, and the rows, through giflib into the output file. An
// animation's frames each cover the whole screen, on one palette where their colours fit in it,
// else each on its own.
#include "ImageHandle_Gif.h"

#include <gif_lib.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "FileWriter.h"
#include "GifPalette.h"
#include "OwnedHandle.h"

namespace {

int WriteToFile(GifFileType* gif, const GifByteType* bytes, int count) {
    return static_cast<FileWriter*>(gif->UserData)->Write(bytes, size_t(count)) ? count : 0;
}

// The colour map's size: a power of two from 2 to 256 that holds every entry.
int MapSize(size_t entries) {
    int size = 2;
    while (size_t(size) < entries) size *= 2;
    return size;
}

ColorMapObject* MakeMap(const IndexedPicture& picture) {
    const size_t entries = picture.Palette.size() / 3;
    ColorMapObject* map = GifMakeMapObject(MapSize(entries), nullptr);
    if (map == nullptr) return nullptr;
    for (size_t i = 0; i < size_t(map->ColorCount); ++i) {
        const bool used = i < entries;
        map->Colors[i] = {used ? picture.Palette[3 * i] : GifByteType(0),
                          used ? picture.Palette[3 * i + 1] : GifByteType(0),
                          used ? picture.Palette[3 * i + 2] : GifByteType(0)};
    }
    return map;
}
using ColourMap = Owned<ColorMapObject, GifFreeMapObject>;

// A delay in GIF's centiseconds: the nearest, and never 0 for one that is not.
int Centiseconds(uint32_t milliseconds) {
    if (milliseconds == 0) return 0;
    return int(std::clamp<uint32_t>((milliseconds + 5) / 10, 1, 65535));
}

struct FramePlay {
    int Disposal = DISPOSAL_UNSPECIFIED;
    int DelayCentiseconds = 0;
};

bool PutFrame(GifFileType* gif, int32_t width, int32_t height, const IndexedPicture& picture,
              const ColorMapObject* localMap, const FramePlay& play) {
    bool written = true;
    if (picture.Transparent >= 0 || play.Disposal != DISPOSAL_UNSPECIFIED || play.DelayCentiseconds != 0) {
        EGifSetGifVersion(gif, true);
        GraphicsControlBlock control{play.Disposal, false, play.DelayCentiseconds, picture.Transparent};
        GifByteType extension[4];
        const size_t length = EGifGCBToExtension(&control, extension);
        written = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, int(length), extension) == GIF_OK;
    }
    written = written && EGifPutImageDesc(gif, 0, 0, width, height, false, localMap) == GIF_OK;
    for (int32_t y = 0; written && y < height; ++y) {
        GifByteType* row = const_cast<GifByteType*>(picture.Indices.data() + size_t(y) * size_t(width));
        written = EGifPutLine(gif, row, width) == GIF_OK;
    }
    return written;
}

// The loop count, unless the animation plays once: a GIF without one does.
bool PutLoops(GifFileType* gif, uint32_t loops) {
    if (loops == 1) return true;
    static const char kNetscape[] = "NETSCAPE2.0";
    const GifByteType count[3] = {1, GifByteType(loops & 0xFF),
                                  GifByteType(std::min<uint32_t>(loops, 65535) >> 8)};
    return EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE) == GIF_OK &&
           EGifPutExtensionBlock(gif, int(sizeof kNetscape - 1), kNetscape) == GIF_OK &&
           EGifPutExtensionBlock(gif, int(sizeof count), count) == GIF_OK &&
           EGifPutExtensionTrailer(gif) == GIF_OK;
}

bool WriteStill(FileWriter& out, int32_t width, int32_t height, const IndexedPicture& picture) {
    const ColourMap map(MakeMap(picture));
    if (!map) return false;
    int error = 0;
    GifFileType* gif = EGifOpen(&out, WriteToFile, &error);
    if (gif == nullptr) return false;
    const bool written = EGifPutScreenDesc(gif, width, height, map->BitsPerPixel, 0, map.get()) == GIF_OK &&
                         PutFrame(gif, width, height, picture, nullptr, FramePlay());
    // Closing writes the trailer, and frees the handle whatever happened before.
    return EGifCloseFile(gif, &error) == GIF_OK && written;
}

bool AnyTransparent(std::vector<RowSource>& frames, int32_t width, int32_t height) {
    for (RowSource& rows : frames) {
        if (!rows.Layout().HasAlpha()) return false;
        for (int32_t y = 0; y < height; ++y) {
            const uint8_t* p = rows.Row(y);
            for (int32_t x = 0; x < width; ++x, p += 4) {
                if (p[3] < kGifOpaqueFrom) return true;
            }
        }
    }
    return false;
}

// Decision: where any frame has transparency, each frame clears the screen when it is done, so the
// next one's transparent pixels show nothing of it; the screen's background is then the
// transparent entry of the shared palette.
bool WriteAnimation(FileWriter& out, const PictureView& first, const Picture& picture, PixelLayout layout) {
    const int32_t width = first.Width, height = first.Height;
    std::vector<RowSource> frames;
    frames.reserve(picture.FrameCount());
    for (const std::unique_ptr<PictureFrame>& frame : picture.Frames)
        frames.emplace_back(frame->View(), layout);
    IndexedPicture shared;
    const bool oneMap = SharedPalette(frames, width, height, shared);
    const ColourMap globalMap(oneMap ? MakeMap(shared) : nullptr);
    if (oneMap && !globalMap) return false;
    int error = 0;
    GifFileType* gif = EGifOpen(&out, WriteToFile, &error);
    if (gif == nullptr) return false;
    EGifSetGifVersion(gif, true);
    const int background = oneMap && shared.Transparent >= 0 ? shared.Transparent : 0;
    bool written = EGifPutScreenDesc(gif, width, height, oneMap ? globalMap->BitsPerPixel : 8, background,
                                     globalMap.get()) == GIF_OK &&
                   PutLoops(gif, picture.Timing.Loops);
    const bool transparent = oneMap ? shared.Transparent >= 0 : AnyTransparent(frames, width, height);
    for (size_t i = 0; written && i < frames.size(); ++i) {
        FramePlay play;
        play.Disposal = transparent ? DISPOSE_BACKGROUND : DISPOSE_DO_NOT;
        play.DelayCentiseconds = Centiseconds(picture.Timing.DelayOf(i));
        if (oneMap) {
            IndexOnPalette(frames[i], width, height, shared);
            written = PutFrame(gif, width, height, shared, nullptr, play);
            continue;
        }
        IndexedPicture own;
        IndexPicture(frames[i], width, height, own);
        const ColourMap localMap(MakeMap(own));
        written = localMap && PutFrame(gif, width, height, own, localMap.get(), play);
    }
    return EGifCloseFile(gif, &error) == GIF_OK && written;
}

}  // namespace

bool FCImageHandle_Gif::WritePicture(const char* path, int32_t) {
    if (SaveView.Width > kMaxSide || SaveView.Height > kMaxSide) return false;
    FileWriter out;
    if (SaveFrames != nullptr)
        return out.Open(path) && WriteAnimation(out, SaveView, *SaveFrames, SaveLayout) && out.Commit();
    RowSource rows(SaveView, SaveLayout);
    IndexedPicture picture;
    IndexPicture(rows, SaveView.Width, SaveView.Height, picture);
    return out.Open(path) && WriteStill(out, SaveView.Width, SaveView.Height, picture) && out.Commit();
}
