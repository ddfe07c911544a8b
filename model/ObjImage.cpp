// FCObjImage: creation from a bitmap information header, release, deep copy, palette access,
// pixel addressing and the flat serialised record.
#include "ObjImage.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

#include "ByteBlock.h"
#include "ByteOrder.h"
#include "ChannelMask.h"
#include "ImageSize.h"
#include "PixelLimit.h"

namespace {

constexpr uint32_t kMaskBlockSize = 12;
// NewBitmapInfo leaves room after the header for masks or a palette plus one spare word.
constexpr uint32_t kBitmapInfoBaseSize = 56;
// Serialised record: header, three masks, pixels, then the two graph words.
constexpr uint32_t kRecordPixelOffset = kInfoHeaderSize + kMaskBlockSize;
constexpr uint32_t kRecordOverhead = kRecordPixelOffset + 8;

// The header as the file and the record lay it out, field by field in little-endian order,
// whatever the struct's layout in memory.
void PutInfoHeader(uint8_t* p, const BITMAPINFOHEADER& h) {
    PutU32LE(p, h.biSize);
    PutU32LE(p + 4, uint32_t(h.biWidth));
    PutU32LE(p + 8, uint32_t(h.biHeight));
    PutU16LE(p + 12, h.biPlanes);
    PutU16LE(p + 14, h.biBitCount);
    PutU32LE(p + 16, h.biCompression);
    PutU32LE(p + 20, h.biSizeImage);
    PutU32LE(p + 24, uint32_t(h.biXPelsPerMeter));
    PutU32LE(p + 28, uint32_t(h.biYPelsPerMeter));
    PutU32LE(p + 32, h.biClrUsed);
    PutU32LE(p + 36, h.biClrImportant);
}

BITMAPINFOHEADER GetInfoHeader(const uint8_t* p) {
    BITMAPINFOHEADER h;
    h.biSize = GetU32LE(p);
    h.biWidth = int32_t(GetU32LE(p + 4));
    h.biHeight = int32_t(GetU32LE(p + 8));
    h.biPlanes = GetU16LE(p + 12);
    h.biBitCount = GetU16LE(p + 14);
    h.biCompression = GetU32LE(p + 16);
    h.biSizeImage = GetU32LE(p + 20);
    h.biXPelsPerMeter = int32_t(GetU32LE(p + 24));
    h.biYPelsPerMeter = int32_t(GetU32LE(p + 28));
    h.biClrUsed = GetU32LE(p + 32);
    h.biClrImportant = GetU32LE(p + 36);
    return h;
}

// Every check CreateFromHeader makes before anything changes; bytes is the pixel block size.
bool AcceptHeader(const BITMAPINFOHEADER& header, uint32_t& bytes) {
    if (header.biHeight <= 0 || header.biWidth <= 0) return false;
    if (header.biCompression != kCompressionRgb && header.biCompression != kCompressionBitFields) {
        return false;
    }
    if (!IsSupportedBitCount(header.biBitCount)) return false;
    if (!WithinImageLimit(header.biWidth, header.biHeight, header.biBitCount)) return false;
    return ComputeImageBytes(header.biWidth, header.biHeight, header.biBitCount, bytes);
}

// The header an image keeps: only size, depth and resolutions survive, and bit fields only
// for 16 bits, where the masks that follow the header are taken as they are.
void NormaliseHeader(const BITMAPINFOHEADER* header, BITMAPINFOHEADER& info, uint32_t masks[3]) {
    info = BITMAPINFOHEADER{};
    info.biSize = kInfoHeaderSize;
    info.biWidth = header->biWidth;
    info.biHeight = header->biHeight;
    info.biPlanes = 1;
    info.biBitCount = header->biBitCount;
    info.biXPelsPerMeter = header->biXPelsPerMeter;
    info.biYPelsPerMeter = header->biYPelsPerMeter;
    std::fill(masks, masks + 3, 0u);
    if (info.biBitCount != 16) return;
    std::copy(std::begin(kMasks555), std::end(kMasks555), masks);
    if (header->biCompression == kCompressionBitFields) {
        info.biCompression = kCompressionBitFields;
        std::memcpy(masks, reinterpret_cast<const uint8_t*>(header) + kInfoHeaderSize, 3 * sizeof(uint32_t));
    }
}

}  // namespace

int32_t FCObject::Serialize(bool, uint8_t*, size_t) {
    return 0;
}

FCObjImage::FCObjImage(const FCObjImage& source) : FCObjImage() {
    CopyFrom(source);
}

// The image owns exactly these three blocks.
FCObjImage::~FCObjImage() {
    FreeBlock(PixelStore);
    delete[] RowTable;
    delete[] Palette;
}

int32_t FCObjImage::Stride() const {
    int32_t stride = 0;
    ComputeStride(InfoHeader.biWidth, InfoHeader.biBitCount, stride);
    return stride;
}

// Everything new is built in owning locals and committed at the end, so a refused header or a
// failed allocation leaves the image exactly as it was.
bool FCObjImage::CreateFromHeader(const BITMAPINFOHEADER* header) {
    uint32_t bytes = 0;
    if (header == nullptr || !AcceptHeader(*header, bytes)) return false;

    BITMAPINFOHEADER info;
    uint32_t masks[3];
    NormaliseHeader(header, info, masks);

    BlockPtr pixels(AllocBlock(bytes, BlockFill::Zero));
    if (!pixels) return false;
    const int32_t stride = int32_t(bytes / uint32_t(info.biHeight));
    std::unique_ptr<uint8_t*[]> rows(new uint8_t*[size_t(info.biHeight)]);
    uint8_t* row = pixels.get() + size_t(bytes) - size_t(stride);
    for (int32_t y = 0; y < info.biHeight; ++y, row -= stride) rows[size_t(y)] = row;
    const uint32_t entries = PaletteEntryCount(info.biBitCount);
    std::unique_ptr<RGBQUAD[]> palette(entries ? new RGBQUAD[entries] : nullptr);

    FCObjImage fresh;
    fresh.InfoHeader = info;
    std::memcpy(fresh.BitMasks, masks, sizeof(fresh.BitMasks));
    fresh.PixelStore = pixels.release();
    fresh.RowTable = rows.release();
    fresh.Palette = palette.release();
    fresh.SetDefaultPalette();
    // The old storage leaves with fresh.
    SwapStorage(fresh);
    return true;
}

bool FCObjImage::Create(int32_t width, int32_t height, uint16_t bpp) {
    FCBitmapInfoBlock block{};
    block.bmiHeader.biSize = kInfoHeaderSize;
    block.bmiHeader.biWidth = width;
    block.bmiHeader.biHeight = height;
    block.bmiHeader.biPlanes = 1;
    block.bmiHeader.biBitCount = bpp;
    return CreateFromHeader(&block.bmiHeader);
}

// An empty image's storage comes in; the old storage leaves with it and is freed there.
void FCObjImage::ReleaseStorage() {
    FCObjImage empty;
    SwapStorage(empty);
}

FCObjImage& FCObjImage::CopyFrom(const FCObjImage& source) {
    if (!source.IsValid() || &source == this) return *this;
    FCBitmapInfoBlock block{};
    block.bmiHeader = source.InfoHeader;
    std::memcpy(block.bmiMasks, source.BitMasks, sizeof(block.bmiMasks));
    if (!CreateFromHeader(&block.bmiHeader)) return *this;

    uint32_t bytes = 0;
    ComputeImageBytes(InfoHeader.biWidth, InfoHeader.biHeight, InfoHeader.biBitCount, bytes);
    std::memcpy(PixelStore, source.PixelStore, bytes);
    if (InfoHeader.biBitCount <= kMaxPaletteBits) CopyPaletteFrom(source);
    AuxWord = source.AuxWord;
    GraphWord0 = source.GraphWord0;
    GraphWord1 = source.GraphWord1;
    return *this;
}

void FCObjImage::SwapStorage(FCObjImage& other) noexcept {
    std::swap(InfoHeader, other.InfoHeader);
    std::swap(PixelStore, other.PixelStore);
    std::swap(RowTable, other.RowTable);
    std::swap(BitMasks, other.BitMasks);
    std::swap(Palette, other.Palette);
    std::swap(AuxWord, other.AuxWord);
}

std::unique_ptr<uint8_t[]> FCObjImage::NewBitmapInfo() const {
    const uint32_t entries = Palette ? PaletteEntryCount(InfoHeader.biBitCount) : 0;
    auto block = std::make_unique<uint8_t[]>(kBitmapInfoBaseSize + entries * sizeof(RGBQUAD));
    PutInfoHeader(block.get(), InfoHeader);
    if (entries != 0) {
        std::memcpy(block.get() + kInfoHeaderSize, Palette, entries * sizeof(RGBQUAD));
    } else {
        for (int i = 0; i < 3; ++i) PutU32LE(block.get() + kInfoHeaderSize + 4 * i, BitMasks[i]);
    }
    return block;
}

uint32_t FCObjImage::GetPixelData(int32_t x, int32_t y) const {
    if (!IsValid() || x < 0 || x >= InfoHeader.biWidth || y < 0 || y >= InfoHeader.biHeight) return 0;
    const uint8_t* p = PixelAddress(x, y);
    switch (InfoHeader.biBitCount) {
        case 1:
            return (p[0] >> (7 - x % 8)) & 1;
        case 4:
            return (x % 2 == 0) ? p[0] >> 4 : p[0] & 0x0F;
        case 8:
            return p[0];
        case 16:
            return GetU16LE(p);
        case 24:
            return GetU24LE(p);
        case 32:
            return GetU32LE(p);
        default:
            return 0;
    }
}

bool FCObjImage::GetPalette(RGBQUAD* entries, int32_t count) const {
    if (!IsValid() || InfoHeader.biBitCount > kMaxPaletteBits || entries == nullptr || Palette == nullptr) {
        return false;
    }
    const int64_t n = std::min<int64_t>(count, PaletteEntryCount(InfoHeader.biBitCount));
    if (n > 0) std::copy(Palette, Palette + n, entries);
    return true;
}

bool FCObjImage::SetPalette(const RGBQUAD* entries, int32_t count) {
    if (!IsValid() || InfoHeader.biBitCount > kMaxPaletteBits || entries == nullptr || Palette == nullptr) {
        return false;
    }
    const int64_t n = std::min<int64_t>(count, PaletteEntryCount(InfoHeader.biBitCount));
    if (n > 0) std::copy(entries, entries + n, Palette);
    return true;
}

void FCObjImage::CopyPaletteFrom(const FCObjImage& source) {
    const uint16_t bpp = InfoHeader.biBitCount;
    if (!IsValid() || bpp > kMaxPaletteBits || source.InfoHeader.biBitCount != bpp) return;
    RGBQUAD table[256];
    const int32_t entries = int32_t(PaletteEntryCount(bpp));
    if (source.GetPalette(table, entries)) SetPalette(table, entries);
}

void FCObjImage::SetDefaultPalette() {
    if (!IsValid() || InfoHeader.biBitCount > kMaxPaletteBits || Palette == nullptr) return;
    const uint32_t entries = PaletteEntryCount(InfoHeader.biBitCount);
    const uint32_t step = 255 / (entries - 1);
    for (uint32_t i = 0; i < entries; ++i) {
        const uint8_t grey = uint8_t(i * step);
        Palette[i] = RGBQUAD{grey, grey, grey, 0};
    }
}

namespace {

// Bytes of the serialised record of an image whose pixel block is pixelBytes long, or 0 when
// the record would not fit the signed 32-bit count that Serialize returns.
uint64_t RecordSize(uint64_t pixelBytes) {
    const uint64_t size = kRecordOverhead + pixelBytes;
    return size > kMaxImageBytes ? 0 : size;
}

int32_t SaveRecord(const FCObjImage& image, uint8_t* buffer, size_t bufferLength) {
    const BITMAPINFOHEADER& h = image.InfoHeader;
    uint32_t n = 0;
    if (image.IsValid()) ComputeImageBytes(h.biWidth, h.biHeight, h.biBitCount, n);
    const uint64_t size = RecordSize(n);
    if (size == 0 || bufferLength < size) return 0;
    PutInfoHeader(buffer, image.InfoHeader);
    for (int i = 0; i < 3; ++i) PutU32LE(buffer + kInfoHeaderSize + 4 * i, image.BitMasks[i]);
    if (n != 0) std::memcpy(buffer + kRecordPixelOffset, image.PixelStore, size_t(n));
    PutU32LE(buffer + kRecordPixelOffset + n, image.GraphWord0);
    PutU32LE(buffer + kRecordPixelOffset + n + 4, image.GraphWord1);
    return int32_t(size);
}

// The header is checked and the record's length compared with the buffer before the image is
// touched: a rejected or truncated record leaves the image as it was.
int32_t RestoreRecord(FCObjImage& image, const uint8_t* buffer, size_t bufferLength) {
    if (bufferLength < kRecordOverhead) return 0;
    FCBitmapInfoBlock block;
    block.bmiHeader = GetInfoHeader(buffer);
    for (int i = 0; i < 3; ++i) block.bmiMasks[i] = GetU32LE(buffer + kInfoHeaderSize + 4 * i);
    uint32_t n = 0;
    if (!AcceptHeader(block.bmiHeader, n)) return 0;
    const uint64_t size = RecordSize(n);
    if (size == 0 || bufferLength < size) return 0;
    if (!image.CreateFromHeader(&block.bmiHeader)) return 0;

    std::memcpy(image.PixelStore, buffer + kRecordPixelOffset, n);
    image.GraphWord0 = GetU32LE(buffer + kRecordPixelOffset + n);
    image.GraphWord1 = GetU32LE(buffer + kRecordPixelOffset + n + 4);
    return int32_t(size);
}

}  // namespace

int32_t FCObjImage::Serialize(bool save, uint8_t* buffer, size_t bufferLength) {
    if (buffer == nullptr) return 0;
    return save ? SaveRecord(*this, buffer, bufferLength) : RestoreRecord(*this, buffer, bufferLength);
}
