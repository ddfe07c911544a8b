// Fuzz target: the PNM decoder on any bytes, read from a file through a small window as the host
// reads it, and from the whole block.
#include "FuzzSupport.h"
#include "ImageHandle_Pnm.h"

int FuzzPnmLoad(const uint8_t* data, size_t size) {
    using namespace fuzzsupport;
    // The size is in the header's text, not at an offset: the pixel limit keeps pictures small
    // instead, and its refusal is exercised on the way.
    return LoadThroughFileAndTouch<FCImageHandle_Pnm>(data, size, kFuzzWindowedMaxBytes / 4);
}
