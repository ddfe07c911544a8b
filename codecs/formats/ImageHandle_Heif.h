// HEIF codec over libheif: reads the primary image of HEIC, HEIF and AVIF files as a 24-bit
// picture (deeper samples and kept alpha as a sample image), turned and mirrored as its container
// says. Writing is not offered.
#pragma once

#include "ImageHandle.h"

class FCImageHandle_Heif : public FCImageHandle {
  public:
    bool LoadSource(ByteSource& in) override;
};
