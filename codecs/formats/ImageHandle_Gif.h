// GIF codec: reads through FCImageHandle_IPicture; writes a still picture through giflib, its
// colours as GifPalette.h makes them, alpha below half as the transparent entry.
#pragma once

#include "ImageHandle_IPicture.h"

class FCImageHandle_Gif : public FCImageHandle_IPicture {
  public:
    // The screen's 16-bit sizes.
    static constexpr int32_t kMaxSide = 65535;

    FCImageHandle_Gif() : FCImageHandle_IPicture(Format::Gif) {}

  protected:
    ImageType WrittenType() const override { return ImageTypeGif; }
    // flag is not used: the palette decides what is kept.
    bool WritePicture(const char* path, int32_t flag) override;
};
