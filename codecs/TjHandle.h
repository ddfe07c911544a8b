// A TurboJPEG handle that is destroyed with its owner, for the JPEG reader and writer alike.
#pragma once

#include <turbojpeg.h>

#include <memory>

struct TjDestroyer {
    void operator()(void* handle) const { tjDestroy(handle); }
};
using TjHandle = std::unique_ptr<void, TjDestroyer>;
