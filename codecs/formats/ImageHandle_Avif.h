// AVIF codec: read through libheif as the other HEIF files are (the reader is the HEIF codec's),
// written through libavif's AV1 encoder (aom), 8-bit colour with alpha where the picture has it.
#pragma once

#include "ImageHandle_Heif.h"

class FCImageHandle_Avif : public FCImageHandle_Heif {
  public:
    // AV1's levels end at 16384 a side; past it hardware decoders and some software refuse.
    static constexpr int32_t kMaxSide = 16384;

  protected:
    ImageType WrittenType() const override { return ImageTypeAvif; }
    // flag is the quality (-1: the default): 4:4:4 colour from 90 up, 4:2:0 below, as for JPEG.
    bool WritePicture(const char* path, int32_t flag) override;
};
