// BMP reader and writer. Headers are read field by field through ByteReader; the pixel block is
// copied whole, since the image keeps rows bottom-up and padded exactly as the file does.
#include "ImageHandle_Bmp.h"

#include <cstring>

#include "ByteReader.h"
#include "ChannelMask.h"
#include "FileReader.h"
#include "FileWriter.h"
#include "ImageSize.h"

namespace {

constexpr uint16_t kBmpSignature = 0x4D42;  // "BM"
constexpr size_t kFileHeaderSize = 14;
constexpr uint32_t kInfoHeaderSize = 40;
// Masks sit right after a 40-byte information header; larger headers keep them at the same place.
constexpr size_t kMasksOffset = kFileHeaderSize + kInfoHeaderSize;
constexpr uint32_t kMasksSize = 12;
constexpr uint32_t kPaletteEntrySize = 4;
constexpr uint32_t kStandardRed32 = 0x00FF0000;
constexpr uint32_t kStandardGreen32 = 0x0000FF00;
constexpr uint32_t kStandardBlue32 = 0x000000FF;

bool ReadInfoHeader(ByteReader& in, BITMAPINFOHEADER& h) {
    return in.U32LE(h.biSize) && in.I32LE(h.biWidth) && in.I32LE(h.biHeight) && in.U16LE(h.biPlanes) &&
           in.U16LE(h.biBitCount) && in.U32LE(h.biCompression) && in.U32LE(h.biSizeImage) &&
           in.I32LE(h.biXPelsPerMeter) && in.I32LE(h.biYPelsPerMeter) && in.U32LE(h.biClrUsed) &&
           in.U32LE(h.biClrImportant);
}

// Everything the reader takes from the file comes from here; a file too short for any of it is
// refused before an image exists.
bool ReadHeaders(ByteReader& in, FCBitmapInfoBlock& block, uint32_t& offBits) {
    uint16_t signature = 0;
    if (!in.U16LE(signature) || signature != kBmpSignature) return false;
    if (!in.Skip(8) || !in.U32LE(offBits)) return false;
    if (!ReadInfoHeader(in, block.bmiHeader)) return false;
    block.bmiMasks[0] = block.bmiMasks[1] = block.bmiMasks[2] = 0;
    if (block.bmiHeader.biCompression != kCompressionBitFields) return true;
    return in.Seek(kMasksOffset) && in.U32LE(block.bmiMasks[0]) && in.U32LE(block.bmiMasks[1]) &&
           in.U32LE(block.bmiMasks[2]);
}

// The checks the image model does not make itself; size and depth are its own gate.
bool ValidateHeader(const BITMAPINFOHEADER& h, uint32_t offBits, size_t length) {
    if (uint64_t(offBits) >= length) return false;
    // The 12-byte core and 16-byte OS/2 headers have no 40-byte layout to read.
    if (h.biSize < kInfoHeaderSize) return false;
    // Compression 3 at other depths is OS/2 Huffman or RLE24 coding, not bit fields.
    if (h.biCompression == kCompressionBitFields && h.biBitCount != 16 && h.biBitCount != 32) return false;
    return true;
}

// Minimal palettes are common (fewer entries than 2^depth): only entries inside the file are
// taken, the rest keep the grey default.
void ReadPalette(ByteReader& in, uint32_t biSize, FCObjImage& image) {
    const uint32_t entries = PaletteEntryCount(image.InfoHeader.biBitCount);
    if (entries == 0 || !in.Seek(uint64_t(kFileHeaderSize) + biSize)) return;
    RGBQUAD table[256];
    const size_t got = in.BytesUpTo(table, uint64_t(entries) * kPaletteEntrySize);
    image.SetPalette(table, int32_t(got / kPaletteEntrySize));
}

// 32-bit files with other masks would show wrong colours as plain blue-green-red words: each
// pixel is rebuilt by its masks, fourth byte zero. Only the bytes the file gave need the work.
void RepackMasked32(const uint32_t masks[3], uint8_t* pixels, size_t bytes) {
    const ChannelMask red = DescribeChannelMask(masks[0]);
    const ChannelMask green = DescribeChannelMask(masks[1]);
    const ChannelMask blue = DescribeChannelMask(masks[2]);
    for (uint8_t* p = pixels; p + 4 <= pixels + bytes; p += 4) {
        const uint32_t word =
            uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
        p[0] = ExtractChannel(word, blue);
        p[1] = ExtractChannel(word, green);
        p[2] = ExtractChannel(word, red);
        p[3] = 0;
    }
}

bool IsStandardMask32(const uint32_t masks[3]) {
    return masks[0] == kStandardRed32 && masks[1] == kStandardGreen32 && masks[2] == kStandardBlue32;
}

// Rows whose pixels the file did not deliver in full, when copied bytes of the pixel block came
// from it; the padding after a row's last pixel does not count.
uint32_t UnfilledRows(uint64_t copied, const FCObjImage& image) {
    const uint64_t stride = uint64_t(image.Stride());
    const uint64_t pixelBytes = (uint64_t(image.InfoHeader.biWidth) * image.InfoHeader.biBitCount + 7) / 8;
    const uint64_t height = uint64_t(image.InfoHeader.biHeight);
    uint64_t filled = copied / stride;
    if (copied % stride >= pixelBytes) ++filled;
    return uint32_t(height - (filled < height ? filled : height));
}

// The files whose pixel data is the image's pixel block byte for byte.
bool IsPlainBottomUp(const BITMAPINFOHEADER& h) {
    return h.biHeight > 0 && (h.biCompression == kCompressionRgb ||
                              (h.biCompression == kCompressionBitFields && h.biBitCount == 16));
}

}  // namespace

bool FCImageHandle_Bmp::LoadMemory(const uint8_t* data, int32_t length) {
    if (data == nullptr || length <= int32_t(kFileHeaderSize)) return false;
    ByteReader in(data, size_t(length));
    FCBitmapInfoBlock block;
    uint32_t offBits = 0;
    if (!ReadHeaders(in, block, offBits) || !ValidateHeader(block.bmiHeader, offBits, size_t(length)))
        return false;
    auto image = std::make_unique<FCObjImage>();
    if (!image->CreateFromHeader(&block.bmiHeader)) return false;
    ReadPalette(in, block.bmiHeader.biSize, *image);
    uint32_t pixelBytes = 0;
    if (!ComputeImageBytes(image->InfoHeader.biWidth, image->InfoHeader.biHeight,
                           image->InfoHeader.biBitCount, pixelBytes) ||
        !in.Seek(offBits))
        return false;
    // Pixel data cut short is no failure: the missing rows, the top of the picture, stay black.
    const size_t copied = in.BytesUpTo(image->PixelStore, pixelBytes);
    IncompleteRows = UnfilledRows(copied, *image);
    const bool masked32 =
        block.bmiHeader.biBitCount == 32 && block.bmiHeader.biCompression == kCompressionBitFields;
    if (masked32 && !IsStandardMask32(block.bmiMasks))
        RepackMasked32(block.bmiMasks, image->PixelStore, copied);
    PushObject(image.release());
    return true;
}

// The same reading as LoadMemory, from the file: the headers take one small read (they lie in
// the first 66 bytes), the palette one more, and the pixel data goes straight into the pixel
// block in one read, since the image keeps rows bottom-up and padded as the file does.
bool FCImageHandle_Bmp::LoadFile(const char* path) {
    FileReader file;
    if (!file.Open(path)) return FCImageHandle::LoadFile(path);
    uint8_t head[kMasksOffset + kMasksSize];
    ByteReader in(head, file.ReadAt(0, head, sizeof head));
    FCBitmapInfoBlock block;
    uint32_t offBits = 0;
    if (!ReadHeaders(in, block, offBits) || !IsPlainBottomUp(block.bmiHeader) ||
        !ValidateHeader(block.bmiHeader, offBits, file.Size()))
        return FCImageHandle::LoadFile(path);
    auto image = std::make_unique<FCObjImage>();
    if (!image->CreateFromHeader(&block.bmiHeader)) return false;
    const uint32_t entries = PaletteEntryCount(image->InfoHeader.biBitCount);
    if (entries != 0) {
        RGBQUAD table[256];
        const size_t got = file.ReadAt(uint64_t(kFileHeaderSize) + block.bmiHeader.biSize, table,
                                       entries * kPaletteEntrySize);
        image->SetPalette(table, int32_t(got / kPaletteEntrySize));
    }
    const size_t pixelBytes = size_t(image->InfoHeader.biHeight) * size_t(image->Stride());
    // A file cut short leaves the top rows black, as from memory.
    const size_t copied = file.ReadAt(offBits, image->PixelStore, pixelBytes);
    IncompleteRows = UnfilledRows(copied, *image);
    PushObject(image.release());
    return true;
}

bool FCImageHandle_Bmp::SaveFile(const char* path, int32_t) {
    if (SaveList.empty() || SaveList.front() == nullptr || !SaveList.front()->IsValid()) return false;
    const FCObjImage& image = *SaveList.front();
    const BITMAPINFOHEADER& h = image.InfoHeader;
    uint32_t pixelBytes = 0;
    if (!ComputeImageBytes(h.biWidth, h.biHeight, h.biBitCount, pixelBytes)) return false;
    uint32_t tail = PaletteEntryCount(h.biBitCount) * kPaletteEntrySize;
    if (h.biBitCount == 16 && h.biCompression == kCompressionBitFields) tail = kMasksSize;
    const uint32_t offBits = uint32_t(kMasksOffset) + tail;
    uint8_t fileHeader[kFileHeaderSize] = {};
    PutU16LE(fileHeader, kBmpSignature);
    PutU32LE(fileHeader + 2, offBits + pixelBytes);
    PutU32LE(fileHeader + 10, offBits);
    const std::unique_ptr<uint8_t[]> info = image.NewBitmapInfo();
    FileWriter out;
    return out.Open(path) && out.Write(fileHeader, sizeof fileHeader) &&
           out.Write(info.get(), offBits - kFileHeaderSize) && out.Write(image.PixelStore, pixelBytes) &&
           out.Commit();
}
