// Fuzz targets of the formats without one of their own (no FUZZ line in codecs/framework/formats.def: TIFF,
// WebP and HEIF): the row's codec on any bytes. Their headers are parsed by the libraries, so the
// cap is the pixel limit itself, which each reader checks before it decodes.
#include <cstring>

#include "FuzzSupport.h"
#include "ImageFormats.h"

namespace {

// Well under the decoded-size cap: faults in the glue show on small pictures, and libtiff, libwebp
// and libheif decode a large one slowly enough to cut the runs per second tenfold.
constexpr uint64_t kFuzzPixelLimit = uint64_t(1) << 18;

}  // namespace

int FuzzFormatLoad(const char* key, const uint8_t* data, size_t size) {
    const ImageFormat* format = ImageFormats();
    while (format->Name != nullptr && std::strcmp(format->Key, key) != 0) ++format;
    if (format->Name == nullptr) __builtin_trap();
    const ImageType type = format->Extensions[0].Type;
    return fuzzsupport::LoadAndTouchWith([format, type] { return format->NewCodec(type); }, data, size,
                                         kFuzzPixelLimit);
}
