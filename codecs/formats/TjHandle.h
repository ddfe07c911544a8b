// A TurboJPEG handle that is destroyed with its owner, for the JPEG reader and writer alike.
#pragma once

#include <turbojpeg.h>

#include "OwnedHandle.h"

using TjHandle = Owned<void, tjDestroy>;
