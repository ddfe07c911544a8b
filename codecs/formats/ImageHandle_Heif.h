// HEIF codec over libheif: reads the primary image of HEIC, HEIF and AVIF files as a 24-bit
// picture (deeper samples and kept alpha as a sample image), turned and mirrored as its container
// says; writes HEIC through libheif's x265 encoder, 8-bit colour with alpha where the picture has
// it.
#pragma once

#include "ImageHandle.h"

class FCImageHandle_Heif : public FCImageHandle {
  public:
    // The largest side x265 codes in one picture.
    static constexpr int32_t kMaxSide = 16384;

    bool LoadSource(ByteSource& in) override;

  protected:
    ImageType WrittenType() const override { return ImageTypeHeif; }
    // flag is the quality (-1: the default), as for JPEG: 4:4:4 colour from 90 up, 4:2:0 below.
    bool WritePicture(const char* path, int32_t flag) override;
};
