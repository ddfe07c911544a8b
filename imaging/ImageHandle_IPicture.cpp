// Placeholder until the JPEG and GIF decoders land: every picture is refused.
#include "ImageHandle_IPicture.h"

bool FCImageHandle_IPicture::LoadMemory(const uint8_t*, int32_t) { return false; }
