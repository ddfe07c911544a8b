// Fuzz target: any bytes as a picture's EXIF through the metadata intake (the walk of the whole kept
// tree, or the orientation alone), then the settling for a JPEG output and the edits a writer and
// --auto-orient make; whatever is kept must stay whole through all of them.
#include <string>
#include <vector>

#include "Exif.h"
#include "FuzzSupport.h"
#include "MetadataOutput.h"

namespace {

constexpr uint16_t kMaxOrientation = 8;

// Kept EXIF is either none or a block the walk finds whole.
void CheckKept(const PictureMetadata& metadata) {
    if (metadata.Orientation > kMaxOrientation) __builtin_trap();
    if (!metadata.Exif.empty() && !CheckExif(metadata.Exif).Whole) __builtin_trap();
}

}  // namespace

int FuzzExifWalk(const uint8_t* data, size_t size) {
    PictureMetadata metadata;
    metadata.Exif.assign(data, data + size);
    std::vector<std::string> warnings;
    CheckPictureMetadata(metadata, warnings);
    CheckKept(metadata);
    SettleMetadataForOutput(metadata, false, ImageTypeJpeg, false);
    CheckKept(metadata);
    // The edits write only inside what the walk found.
    SwapExifPixelDimensions(metadata.Exif);
    PrepareExifForOutput(metadata.Exif, 1);
    CheckKept(metadata);
    AddExifPixelDimensions(metadata.Exif, uint32_t(size), 7, 65527);
    CheckKept(metadata);
    fuzzsupport::TouchBytes(metadata.Exif.data(), metadata.Exif.size());
    return 0;
}
