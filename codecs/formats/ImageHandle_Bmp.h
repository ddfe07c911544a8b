// BMP codec: reads uncompressed and bit-field Windows bitmaps of 1 to 32 bits, bottom-up or
// top-down, and run-length ones (RLE8, RLE4), and the alpha of bit-field files with an alpha mask
// where the load keeps it; writes every depth the image model holds, bottom-up and uncompressed. An
// uncompressed bottom-up pixel block moves between file and image as one piece.
#pragma once

#include "ImageHandle.h"

class ByteSource;

class FCImageHandle_Bmp : public FCImageHandle {
  public:
    // A file no longer than its file header is refused as ending inside its headers.
    FCImageHandle_Bmp();
    // The one decoder: LoadMemory runs it over the block, LoadOpenFile over a window on the file
    // (plain pixel rows read straight into their places in the new image), and the fuzz targets
    // over a file source with windows of every small size.
    bool LoadSource(ByteSource& in) override;
    bool SaveFile(const char* path, int32_t flag) override;
};
