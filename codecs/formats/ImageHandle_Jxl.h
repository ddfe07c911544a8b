// JPEG XL codec over libjxl: reads the bare codestream and the container at 8 or 16 bits, grey,
// colour and straight alpha, the profile, EXIF and XMP boxes and the stored orientation, and every
// frame of an animation where the load asks for them; writes lossless at the top quality, else at
// the distance cjxl gives that quality, with alpha, the profile, EXIF, XMP, the orientation and
// every frame of a picture that has several.
#pragma once

#include "ImageHandle.h"
#include "LossyQuality.h"

class FCImageHandle_Jxl : public FCImageHandle {
  public:
    // At this quality the file is lossless: the samples come back exactly.
    static constexpr int32_t kLosslessQuality = kMaxQuality;
    // The side the codestream's default level (5) allows; its pixel count past 2^28 takes level 10.
    static constexpr int32_t kMaxSide = 1 << 18;

    bool LoadSource(ByteSource& in) override;

  protected:
    ImageType WrittenType() const override { return ImageTypeJxl; }
    // flag -1 writes at the default quality, 1 to 100 at that quality; other values write nothing.
    bool WritePicture(const char* path, int32_t flag) override;
};
