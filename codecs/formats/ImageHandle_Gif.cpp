// GIF writer: the picture indexed once (GifPalette.cpp), then the screen, a graphics control
// extension when one entry is transparent, and the rows, through giflib into the output file.
#include "ImageHandle_Gif.h"

#include <gif_lib.h>

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

bool WriteIndexed(FileWriter& out, int32_t width, int32_t height, const IndexedPicture& picture) {
    const size_t entries = picture.Palette.size() / 3;
    const Owned<ColorMapObject, GifFreeMapObject> map(GifMakeMapObject(MapSize(entries), nullptr));
    if (!map) return false;
    for (size_t i = 0; i < size_t(map->ColorCount); ++i) {
        const bool used = i < entries;
        map->Colors[i] = {used ? picture.Palette[3 * i] : GifByteType(0),
                          used ? picture.Palette[3 * i + 1] : GifByteType(0),
                          used ? picture.Palette[3 * i + 2] : GifByteType(0)};
    }
    int error = 0;
    GifFileType* gif = EGifOpen(&out, WriteToFile, &error);
    if (gif == nullptr) return false;
    bool written = EGifPutScreenDesc(gif, width, height, map->BitsPerPixel, 0, map.get()) == GIF_OK;
    if (written && picture.Transparent >= 0) {
        EGifSetGifVersion(gif, true);
        GraphicsControlBlock control{DISPOSAL_UNSPECIFIED, false, 0, picture.Transparent};
        GifByteType extension[4];
        const size_t length = EGifGCBToExtension(&control, extension);
        written = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, int(length), extension) == GIF_OK;
    }
    written = written && EGifPutImageDesc(gif, 0, 0, width, height, false, nullptr) == GIF_OK;
    for (int32_t y = 0; written && y < height; ++y) {
        GifByteType* row = const_cast<GifByteType*>(picture.Indices.data() + size_t(y) * size_t(width));
        written = EGifPutLine(gif, row, width) == GIF_OK;
    }
    // Closing writes the trailer, and frees the handle whatever happened before.
    return EGifCloseFile(gif, &error) == GIF_OK && written;
}

}  // namespace

bool FCImageHandle_Gif::WritePicture(const char* path, int32_t) {
    if (SaveView.Width > kMaxSide || SaveView.Height > kMaxSide) return false;
    RowSource rows(SaveView, SaveLayout);
    IndexedPicture picture;
    IndexPicture(rows, SaveView.Width, SaveView.Height, picture);
    FileWriter out;
    return out.Open(path) && WriteIndexed(out, SaveView.Width, SaveView.Height, picture) && out.Commit();
}
