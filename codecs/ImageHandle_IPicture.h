// JPEG and GIF reader over libjpeg-turbo and giflib; the format is told by content.
// Reading only: saving is the framework's refusal.
#pragma once

#include "ImageHandle.h"

class FCImageHandle_IPicture : public FCImageHandle {
  public:
    bool LoadMemory(const uint8_t* data, int32_t length) override;
};
