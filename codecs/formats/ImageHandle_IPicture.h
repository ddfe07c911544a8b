// JPEG and GIF reader over libjpeg-turbo and giflib. The format table tells it which of the two
// a file of its type is; a file that is not that format is refused, and the framework's sniffer
// finds its real format. Reading only: saving is the framework's refusal.
#pragma once

#include "ImageHandle.h"

class FCImageHandle_IPicture : public FCImageHandle {
  public:
    enum class Format { Jpeg, Gif };
    explicit FCImageHandle_IPicture(Format format) : format_(format) {}

    bool LoadSource(ByteSource& in) override;

  private:
    Format format_;
};
