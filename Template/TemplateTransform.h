// The template module's transform: all pixels in reverse order, a half turn of the picture.
#pragma once

#include "Exchange.h"

namespace TemplateModule {

void ConvertPixels(ExchangeState& state);

}  // namespace TemplateModule
