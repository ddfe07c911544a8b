// PNG codec over libspng: reads every valid PNG as a 24-bit picture (16-bit samples and kept alpha
// as a sample image); writes 8-bit truecolour, or 8- or 16-bit RGB or RGBA from samples.
#pragma once

#include "ImageHandle.h"

class ByteSource;

class FCImageHandle_Png : public FCImageHandle {
  public:
    bool LoadMemory(const uint8_t* data, int32_t length) override;
    // Reads the file where it lies, through a window: only the pixels take memory in proportion.
    bool LoadOpenFile(int descriptor, uint64_t size) override;
    // flag is not used: the file is lossless and has one form.
    bool SaveFile(const char* path, int32_t flag) override;

  private:
    bool Decode(ByteSource& in);
};
