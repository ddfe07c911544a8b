// Fuzz target: the EXIF walk on any bytes as a TIFF block: the check of the whole kept tree, then
// the edits a writer and --auto-orient make, then the check again over the edited block.
#include <vector>

#include "Exif.h"
#include "FuzzSupport.h"

int FuzzExifWalk(const uint8_t* data, size_t size) {
    std::vector<uint8_t> tiff(data, data + size);
    const ExifCheck check = CheckExif(tiff);
    if (!check.Whole) return 0;
    SwapExifPixelDimensions(tiff);
    PrepareExifForOutput(tiff, 1);
    // An edited block stays whole: the edits write only inside what the walk found.
    if (!CheckExif(tiff).Whole) __builtin_trap();
    fuzzsupport::TouchBytes(tiff.data(), tiff.size());
    return 0;
}
