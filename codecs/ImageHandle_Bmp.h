// BMP codec: reads uncompressed and bit-field Windows bitmaps of 1 to 32 bits, bottom-up or
// top-down, and run-length ones (RLE8, RLE4); writes every depth the image model holds, bottom-up
// and uncompressed. An uncompressed bottom-up pixel block moves between file and image as one piece.
#pragma once

#include "ImageHandle.h"

class FCImageHandle_Bmp : public FCImageHandle {
  public:
    // Plain bottom-up files (no compression, or 16-bit bit fields) are read straight into the
    // new image's pixel block; every other file goes through the whole-file LoadMemory path.
    bool LoadOpenFile(int descriptor, uint64_t size) override;
    bool LoadMemory(const uint8_t* data, int32_t length) override;
    bool SaveFile(const char* path, int32_t flag) override;
};
