// JPEG codec: reads JPEG through FCImageHandle_IPicture and writes
// baseline JPEG through TurboJPEG.
#pragma once

#include "ImageHandle_IPicture.h"
#include "LossyQuality.h"

class FCImageHandle_Jpeg : public FCImageHandle_IPicture {
  public:
    FCImageHandle_Jpeg() : FCImageHandle_IPicture(Format::Jpeg) {}

    // The quality used when flag is -1.
    static constexpr int32_t kDefaultQuality = ::kDefaultQuality;
    // libjpeg's largest side.
    static constexpr int32_t kMaxSide = 65500;

  protected:
    ImageType WrittenType() const override { return ImageTypeJpeg; }
    // flag -1 writes at kDefaultQuality, 1 to 100 at that quality; other values write nothing.
    bool WritePicture(const char* path, int32_t flag) override;
};
