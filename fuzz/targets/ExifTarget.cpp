// Fuzz target: the EXIF walk on any bytes as a TIFF block: the orientation read, then the edits a
// writer and --auto-orient make, then the read again over the edited block.
#include <vector>

#include "Exif.h"
#include "FuzzSupport.h"

int FuzzExifWalk(const uint8_t* data, size_t size) {
    std::vector<uint8_t> tiff(data, data + size);
    uint16_t orientation = 0;
    if (!ReadExifOrientation(tiff, orientation)) return 0;
    SwapExifPixelDimensions(tiff);
    PrepareExifForOutput(tiff, 1);
    ReadExifOrientation(tiff, orientation);
    fuzzsupport::TouchBytes(tiff.data(), tiff.size());
    return 0;
}
