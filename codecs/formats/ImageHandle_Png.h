// PNG codec over libspng: reads every valid PNG, its rows into the sink as RGB or RGBA of 8 or 16
// bits; writes 8- or 16-bit RGB or RGBA.
#pragma once

#include "ImageHandle.h"

class ByteSource;

class FCImageHandle_Png : public FCImageHandle {
  public:
    // Reads the file where it lies, through a window: only the pixels take memory in proportion.
    FCImageHandle_Png() : FCImageHandle(FileIntake{true}) {}
    bool LoadSource(ByteSource& in) override;

  protected:
    ImageType WrittenType() const override { return ImageTypePng; }
    // flag is not used: the file is lossless.
    bool WritePicture(const char* path, int32_t flag) override;

  private:
    bool Decode(ByteSource& in);
};
