// PNG codec over libspng: reads every valid PNG as a 24-bit picture (16-bit samples and kept alpha
// as a sample image); writes 8-bit truecolour, or 8- or 16-bit RGB or RGBA from samples.
#pragma once

#include "ImageHandle.h"

class ByteSource;

class FCImageHandle_Png : public FCImageHandle {
  public:
    // Reads the file where it lies, through a window: only the pixels take memory in proportion.
    FCImageHandle_Png() : FCImageHandle(FileIntake{true}) {}
    bool LoadSource(ByteSource& in) override;
    // flag is not used: the file is lossless and has one form.
    bool SaveFile(const char* path, int32_t flag) override;

  private:
    bool Decode(ByteSource& in);
};
