// The ambrel module's transform: each pixel averaged with its mirror across the vertical centre line.
#pragma once

#include "Exchange.h"

namespace AmbrelModule {

void ConvertPixels(ExchangeState& state);

}  // namespace AmbrelModule
