// Fuzz targets: the TIFF, WebP and HEIF readers on any bytes. Their headers are parsed by the
// libraries, so the cap is the pixel limit itself, which each reader checks before it decodes.
#include "FuzzSupport.h"
#include "ImageHandle_Heif.h"
#include "ImageHandle_Tiff.h"
#include "ImageHandle_Webp.h"

namespace {

// Well under the decoded-size cap: faults in the glue show on small pictures, and libtiff, libwebp
// and libheif decode a large one slowly enough to cut the runs per second tenfold.
constexpr uint64_t kFuzzPixelLimit = uint64_t(1) << 18;

template <class Codec>
int LoadCapped(const uint8_t* data, size_t size) {
    return fuzzsupport::LoadAndTouch<Codec>(data, size, kFuzzPixelLimit);
}

}  // namespace

int FuzzTiffLoadMemory(const uint8_t* data, size_t size) {
    return LoadCapped<FCImageHandle_Tiff>(data, size);
}

int FuzzWebpLoadMemory(const uint8_t* data, size_t size) {
    return LoadCapped<FCImageHandle_Webp>(data, size);
}

int FuzzHeifLoadMemory(const uint8_t* data, size_t size) {
    return LoadCapped<FCImageHandle_Heif>(data, size);
}
