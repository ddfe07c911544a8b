// TIFF codec over libtiff: reads the first page of most TIFF files, its rows into the sink as 8- or
// 16-bit RGB or RGBA; writes 8- or 16-bit RGB or RGB with unassociated alpha, LZW-compressed,
// little-endian.
#pragma once

#include "ImageHandle.h"

class FCImageHandle_Tiff : public FCImageHandle {
  public:
    bool LoadSource(ByteSource& in) override;

  protected:
    ImageType WrittenType() const override { return ImageTypeTiff; }
    // flag is not used: the file is lossless.
    bool WritePicture(const char* path, int32_t flag) override;
};
