// WebP codec over libwebp: reads lossy, lossless and animated files (the first frame, composed on
// its canvas) as 24-bit pictures, or with kept alpha as sample images; writes lossy at a quality,
// or lossless at the top quality, with alpha when the picture has it.
#pragma once

#include "ImageHandle.h"
#include "LossyQuality.h"

class FCImageHandle_Webp : public FCImageHandle {
  public:
    // The quality used when flag is -1, the same as JPEG's.
    static constexpr int32_t kDefaultQuality = ::kDefaultQuality;
    // At this quality the file is lossless: the pixels come back exactly.
    static constexpr int32_t kLosslessQuality = kMaxQuality;
    // The format's side limit: larger pictures cannot be written.
    static constexpr int32_t kMaxSide = 16383;

    bool LoadSource(ByteSource& in) override;

  protected:
    ImageType WrittenType() const override { return ImageTypeWebp; }
    // flag -1 writes at kDefaultQuality, 1 to 100 at that quality; other values write nothing.
    bool WritePicture(const char* path, int32_t flag) override;
};
