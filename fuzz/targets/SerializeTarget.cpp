// Fuzz target: FCObjImage::Serialize restore on any bytes, then a save and a second restore, which
// must give back the very same record.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "ImageSize.h"

namespace {

constexpr size_t kWidthOffset = 4;
constexpr size_t kHeightOffset = 8;
constexpr size_t kBitCountOffset = 14;
// Header, three masks and the two graph words around the pixel bytes.
constexpr size_t kRecordOverhead = 60;

std::vector<uint8_t> SaveRecord(FCObjImage& image) {
    const BITMAPINFOHEADER& h = image.InfoHeader;
    uint32_t pixelBytes = 0;
    if (!ComputeImageBytes(h.biWidth, h.biHeight, h.biBitCount, pixelBytes)) std::abort();
    std::vector<uint8_t> record(pixelBytes + kRecordOverhead);
    const int32_t written = image.Serialize(true, record.data(), record.size());
    if (written <= 0 || size_t(written) != record.size()) std::abort();
    return record;
}

}  // namespace

int FuzzSerializeRestore(const uint8_t* data, size_t size) {
    using namespace fuzzsupport;
    const int32_t width = PeekI32(data, size, kWidthOffset);
    const int32_t height = PeekI32(data, size, kHeightOffset);
    if (!WithinDecodeCap(width, height, PeekU16(data, size, kBitCountOffset))) return 0;
    // Restore takes a writable buffer; the fuzzer's bytes are read-only.
    std::vector<uint8_t> buffer(data, data + size);
    FCObjImage image;
    if (image.Serialize(false, buffer.data(), buffer.size()) <= 0) return 0;
    TouchImage(image);
    const std::vector<uint8_t> first = SaveRecord(image);
    std::vector<uint8_t> copy = first;
    FCObjImage again;
    if (again.Serialize(false, copy.data(), copy.size()) != int32_t(first.size())) std::abort();
    if (SaveRecord(again) != first) std::abort();
    return 0;
}
