// BMP reader and writer. Headers are read field by field through ByteSource; the pixel block is
// copied whole, since the image keeps rows bottom-up and padded exactly as the file does. Top-down
// files are copied row by row in reverse, and run-length files are decoded into the block. Bit-field
// files with an alpha mask go, where the load keeps alpha, row by row into a sample image.
#include "ImageHandle_Bmp.h"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "ByteOrder.h"
#include "ByteSource.h"
#include "ChannelMask.h"
#include "FileWriter.h"
#include "ImageSize.h"
#include "PixelLimit.h"

namespace {

constexpr uint16_t kBmpSignature = 0x4D42;  // "BM"
constexpr size_t kFileHeaderSize = 14;
// Masks sit right after a 40-byte information header; larger headers keep them at the same place.
constexpr size_t kMasksOffset = kFileHeaderSize + kInfoHeaderSize;
constexpr uint32_t kMasksSize = 12;
// Headers of 56 bytes and more (V3 with alpha, V4, V5) hold an alpha mask right after the others.
constexpr uint32_t kAlphaMaskHeaderSize = 56;
constexpr size_t kAlphaMaskOffset = kMasksOffset + kMasksSize;
constexpr uint32_t kPaletteEntrySize = 4;
constexpr uint32_t kStandardRed32 = 0x00FF0000;
constexpr uint32_t kStandardGreen32 = 0x0000FF00;
constexpr uint32_t kStandardBlue32 = 0x000000FF;
constexpr uint32_t kCompressionRle8 = 1;
constexpr uint32_t kCompressionRle4 = 2;
constexpr uint32_t kCompressionJpeg = 4;
constexpr uint32_t kCompressionPng = 5;
// Run-length escapes: a zero count followed by one of these, or by a literal length of 3 or more.
constexpr uint8_t kRleEndOfLine = 0;
constexpr uint8_t kRleEndOfBitmap = 1;
constexpr uint8_t kRleDelta = 2;
// Top-down rows read from the file per call, each straight into its place.
constexpr uint32_t kRowsPerRead = 256;

bool ReadInfoHeader(ByteSource& in, BITMAPINFOHEADER& h) {
    return in.U32LE(h.biSize) && in.I32LE(h.biWidth) && in.I32LE(h.biHeight) && in.U16LE(h.biPlanes) &&
           in.U16LE(h.biBitCount) && in.U32LE(h.biCompression) && in.U32LE(h.biSizeImage) &&
           in.I32LE(h.biXPelsPerMeter) && in.I32LE(h.biYPelsPerMeter) && in.U32LE(h.biClrUsed) &&
           in.U32LE(h.biClrImportant);
}

// Everything the reader takes from the file comes from here; a file too short for any of it is
// refused before an image exists.
// The signature has been read.
bool ReadHeaders(ByteSource& in, FCBitmapInfoBlock& block, uint32_t& offBits) {
    if (!in.Skip(8) || !in.U32LE(offBits)) return false;
    if (!ReadInfoHeader(in, block.bmiHeader)) return false;
    block.bmiMasks[0] = block.bmiMasks[1] = block.bmiMasks[2] = 0;
    if (block.bmiHeader.biCompression != kCompressionBitFields) return true;
    return in.Seek(kMasksOffset) && in.U32LE(block.bmiMasks[0]) && in.U32LE(block.bmiMasks[1]) &&
           in.U32LE(block.bmiMasks[2]);
}

bool IsRunLength(const BITMAPINFOHEADER& h) {
    return h.biCompression == kCompressionRle8 || h.biCompression == kCompressionRle4;
}

// Valid files of kinds this reader does not read, told apart from damage by their reason: OS/2 and
// core headers, Huffman and 24-bit run-length coding, embedded JPEG and PNG, other compressions,
// and pixels of a depth the format's readers do not share. Empty when the kind is read.
std::string UnreadKind(const BITMAPINFOHEADER& h) {
    if (h.biSize < kInfoHeaderSize) return "an OS/2 or core header";
    if (h.biCompression == kCompressionJpeg) return "an embedded JPEG";
    if (h.biCompression == kCompressionPng) return "an embedded PNG";
    if (h.biCompression == kCompressionBitFields && h.biBitCount != 16 && h.biBitCount != 32)
        return "compression 3 at " + std::to_string(h.biBitCount) + " bits per pixel";
    if (h.biCompression > kCompressionBitFields) return "compression " + std::to_string(h.biCompression);
    if (!IsSupportedBitCount(h.biBitCount)) return std::to_string(h.biBitCount) + " bits per pixel";
    return std::string();
}

// The checks the image model does not make itself; size and depth are its own gate. Returns the
// reason a header is damaged, empty when it is sound.
std::string HeaderDamage(const BITMAPINFOHEADER& h, uint32_t offBits, uint64_t length) {
    if (uint64_t(offBits) >= length) return "the pixel data's offset is past the end of the file";
    if (h.biCompression == kCompressionRle8 && h.biBitCount != 8)
        return "RLE8 compression at other than 8 bits";
    if (h.biCompression == kCompressionRle4 && h.biBitCount != 4)
        return "RLE4 compression at other than 4 bits";
    // A negative height means top-down rows; the format allows no top-down run-length file, and
    // the most negative height has no positive twin.
    if (h.biHeight < 0 && IsRunLength(h)) return "a top-down run-length file";
    if (h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == std::numeric_limits<int32_t>::min())
        return "a width or height of " + std::to_string(h.biWidth) + " x " + std::to_string(h.biHeight);
    return std::string();
}

// The header the image is made from: the image is always bottom-up and holds decoded pixels.
FCBitmapInfoBlock ModelBlock(const FCBitmapInfoBlock& file) {
    FCBitmapInfoBlock model = file;
    if (model.bmiHeader.biHeight < 0) model.bmiHeader.biHeight = -model.bmiHeader.biHeight;
    if (IsRunLength(model.bmiHeader)) model.bmiHeader.biCompression = kCompressionRgb;
    return model;
}

// Top-down rows: the first in the file is the top row of the picture. Rows the file ends before
// stay black, as in a short bottom-up file; returns how many were left so.
uint32_t CopyTopDownRows(ByteSource& in, FCObjImage& image) {
    const uint32_t height = uint32_t(image.InfoHeader.biHeight);
    const size_t stride = size_t(image.Stride());
    iovec rows[kRowsPerRead];
    for (uint32_t y = 0; y < height;) {
        const uint32_t n = std::min(kRowsPerRead, height - y);
        for (uint32_t i = 0; i < n; ++i) rows[i] = iovec{image.RowTable[y + i], stride};
        const size_t got = in.ScatterUpTo(rows, int(n));
        if (got < n * stride) return height - y - uint32_t(got / stride);
        y += n;
    }
    return 0;
}

// The run-length decoder's position, counted as the file counts it: x from the left, y from the
// bottom row. Pixels never written keep index 0, the block being zero from the start.
struct RlePosition {
    uint8_t* store;
    size_t stride;
    uint32_t width;
    uint32_t height;
    bool fourBit;
    uint32_t x = 0;
    uint32_t y = 0;

    uint32_t RowsLeft() const { return height - std::min(y, height); }

    void Put(uint32_t at, uint8_t index) {
        uint8_t* row = store + size_t(y) * stride;
        if (!fourBit) {
            row[at] = index;
            return;
        }
        uint8_t& pair = row[at / 2];
        pair = (at & 1) ? uint8_t((pair & 0xF0) | (index & 0x0F)) : uint8_t((pair & 0x0F) | (index << 4));
    }
    // Decision: a run or literal that reaches past the row's end is clipped there; the rest of
    // it, and everything above the top row, is dropped, never carried into the next row.
    uint32_t Room(uint32_t count) const { return y < height ? std::min(count, width - x) : 0; }
    void Advance(uint32_t count) { x = std::min(width, x + count); }
};

// An encoded run: count pixels of one byte (8 bits) or of its two nibbles in turn (4 bits).
void PutRun(RlePosition& at, uint32_t count, uint8_t value) {
    const uint32_t room = at.Room(count);
    for (uint32_t i = 0; i < room; ++i) {
        at.Put(at.x + i, at.fourBit ? ((i & 1) ? (value & 0x0F) : (value >> 4)) : value);
    }
    at.Advance(count);
}

// A literal of count pixels, stored in whole 16-bit words. False when the file ends inside it;
// the pixels it still held are placed.
bool PutLiteral(ByteSource& in, RlePosition& at, uint32_t count) {
    uint8_t source[256];
    const size_t bytes = at.fourBit ? (count + 1) / 2 : count;
    const size_t available = in.BytesUpTo(source, bytes);
    const uint32_t held = uint32_t(std::min<size_t>(count, at.fourBit ? available * 2 : available));
    const uint32_t room = at.Room(held);
    for (uint32_t i = 0; i < room; ++i) {
        at.Put(at.x + i, at.fourBit ? ((i & 1) ? (source[i / 2] & 0x0F) : (source[i / 2] >> 4)) : source[i]);
    }
    at.Advance(held);
    return available == bytes && in.Skip(bytes & 1);
}

// Decodes RLE8 or RLE4 data into the zeroed block of image. Returns the rows the data left
// unfilled when it ended before its end-of-bitmap escape; 0 for a complete file.
uint32_t DecodeRunLength(ByteSource& in, bool fourBit, FCObjImage& image) {
    RlePosition at{image.PixelStore, size_t(image.Stride()), uint32_t(image.InfoHeader.biWidth),
                   uint32_t(image.InfoHeader.biHeight), fourBit};
    while (at.y < at.height) {
        uint8_t count = 0, value = 0;
        if (!in.U8(count) || !in.U8(value)) return at.RowsLeft();
        if (count != 0) {
            PutRun(at, count, value);
            continue;
        }
        if (value == kRleEndOfBitmap) return 0;
        if (value == kRleEndOfLine) {
            at.x = 0;
            ++at.y;
        } else if (value == kRleDelta) {
            uint8_t right = 0, up = 0;
            if (!in.U8(right) || !in.U8(up)) return at.RowsLeft();
            at.Advance(right);
            at.y += up;
        } else if (!PutLiteral(in, at, value)) {
            return at.RowsLeft();
        }
    }
    return 0;
}

// Minimal palettes are common (fewer entries than 2^depth): only entries inside the file are
// taken, the rest keep the grey default.
void ReadPalette(ByteSource& in, uint32_t biSize, FCObjImage& image) {
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
        const uint32_t word = GetU32LE(p);
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
    uint64_t pixelBytes = 0;
    ComputeRowBytes(image.InfoHeader.biWidth, image.InfoHeader.biBitCount, pixelBytes);
    const uint64_t height = uint64_t(image.InfoHeader.biHeight);
    uint64_t filled = copied / stride;
    if (copied % stride >= pixelBytes) ++filled;
    return uint32_t(height - (filled < height ? filled : height));
}

// The alpha mask of a bit-field file whose header has room for one; 0 for none.
uint32_t ReadAlphaMask(ByteSource& in, const BITMAPINFOHEADER& h) {
    uint32_t mask = 0;
    if (h.biCompression != kCompressionBitFields || h.biSize < kAlphaMaskHeaderSize ||
        !in.Seek(kAlphaMaskOffset) || !in.U32LE(mask))
        return 0;
    return mask;
}

// Alpha of fewer than 8 bits is scaled to the full range, not shifted as colour is: the largest
// value is opaque, and a 1-bit alpha of 1 shifted would be half transparent.
uint8_t ExtractAlpha(uint32_t word, const ChannelMask& channel) {
    const uint32_t value = (word & channel.Mask) >> channel.Down;
    if (channel.Up == 0) return uint8_t(value);
    const uint32_t largest = (1u << (8 - channel.Up)) - 1;
    return uint8_t((value * 255 + largest / 2) / largest);
}

// Bit-field pixels of 16 or 32 bits, each colour channel by its mask and widened as in every other
// bit-field picture, into 8-bit samples, one file row at a time. Rows the file ends before stay
// zero: black, and transparent where the held form has alpha. Decision: alpha 0 everywhere is what
// writers leave who fill the mask's bits with nothing, so such a picture is opaque.
bool DecodeWithAlpha(ByteSource& in, const FCBitmapInfoBlock& block, uint32_t alphaMask, uint32_t offBits,
                     FCImageHandle_Bmp& codec) {
    const BITMAPINFOHEADER& h = block.bmiHeader;
    const int32_t height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
    int32_t stride = 0;
    uint64_t pixelBytes = 0;
    RowSink& rows = codec.Rows;
    rows.ZeroAlphaIsNone = true;
    if (!ComputeStride(h.biWidth, h.biBitCount, stride) ||
        !ComputeRowBytes(h.biWidth, h.biBitCount, pixelBytes) || !rows.Begin(h.biWidth, height, 4, 255))
        return codec.Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    const ChannelMask channels[4] = {DescribeChannelMask(block.bmiMasks[0]),
                                     DescribeChannelMask(block.bmiMasks[1]),
                                     DescribeChannelMask(block.bmiMasks[2]), DescribeChannelMask(alphaMask)};
    const size_t pixel = h.biBitCount / 8;
    std::vector<uint8_t> row(static_cast<size_t>(stride));
    in.Seek(offBits);
    for (int32_t i = 0; i < height; ++i) {
        const size_t got = in.BytesUpTo(row.data(), row.size());
        const int32_t y = h.biHeight < 0 ? i : height - 1 - i;
        const size_t whole = std::min(got / pixel, size_t(h.biWidth));
        uint8_t* out = rows.Row(y);
        for (size_t x = 0; x < whole; ++x, out += 4) {
            const uint8_t* p = row.data() + x * pixel;
            const uint32_t word = pixel == 4 ? GetU32LE(p) : GetU16LE(p);
            for (int c = 0; c < 3; ++c) out[c] = ExtractChannel(word, channels[c]);
            out[3] = ExtractAlpha(word, channels[3]);
        }
        rows.Put(y, 0, 1, uint32_t(whole));
        if (got < pixelBytes) {
            codec.Result.IncompleteRows = uint32_t(height - i);
            break;
        }
    }
    return true;
}

// The one reader, over memory or a file. Plain bottom-up pixel data goes into the pixel block in
// one read, since the image keeps rows bottom-up and padded as the file does.
bool Decode(ByteSource& in, FCImageHandle_Bmp& codec) {
    LoadResult& result = codec.Result;
    FCBitmapInfoBlock block;
    uint32_t offBits = 0;
    uint16_t signature = 0;
    if (!in.U16LE(signature) || signature != kBmpSignature)
        return result.Refuse(LoadStatus::Damaged, "no BM signature");
    if (!ReadHeaders(in, block, offBits))
        return result.Refuse(LoadStatus::Damaged, "the file ends inside its headers");
    const std::string unread = UnreadKind(block.bmiHeader);
    if (!unread.empty()) return result.Refuse(LoadStatus::Unsupported, unread);
    const std::string damage = HeaderDamage(block.bmiHeader, offBits, in.Size());
    if (!damage.empty()) return result.Refuse(LoadStatus::Damaged, damage);
    const FCBitmapInfoBlock model = ModelBlock(block);
    auto image = std::make_unique<FCObjImage>();
    const BITMAPINFOHEADER& m = model.bmiHeader;
    if (!CheckPictureSize(m.biWidth, m.biHeight, m.biBitCount, codec.Options, result)) return false;
    const uint32_t alphaMask = ReadAlphaMask(in, block.bmiHeader);
    if (alphaMask != 0) return DecodeWithAlpha(in, block, alphaMask, offBits, codec);
    if (!image->CreateFromHeader(&m)) return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    ReadPalette(in, block.bmiHeader.biSize, *image);
    uint32_t pixelBytes = 0;
    ComputeImageBytes(image->InfoHeader.biWidth, image->InfoHeader.biHeight, image->InfoHeader.biBitCount,
                      pixelBytes);
    in.Seek(offBits);
    if (IsRunLength(block.bmiHeader)) {
        codec.Result.IncompleteRows =
            DecodeRunLength(in, block.bmiHeader.biCompression == kCompressionRle4, *image);
        codec.PushObject(image.release());
        return true;
    }
    // Pixel data cut short is no failure: the rows the file ends before stay black.
    size_t copied = 0;
    if (block.bmiHeader.biHeight < 0) {
        codec.Result.IncompleteRows = CopyTopDownRows(in, *image);
        copied = pixelBytes;  // rows never filled are zero, and zero repacks to zero
    } else {
        copied = in.BytesUpTo(image->PixelStore, pixelBytes);
        codec.Result.IncompleteRows = UnfilledRows(copied, *image);
    }
    const bool masked32 =
        block.bmiHeader.biBitCount == 32 && block.bmiHeader.biCompression == kCompressionBitFields;
    if (masked32 && !IsStandardMask32(block.bmiMasks))
        RepackMasked32(block.bmiMasks, image->PixelStore, copied);
    codec.PushObject(image.release());
    return true;
}

}  // namespace

FCImageHandle_Bmp::FCImageHandle_Bmp()
    : FCImageHandle(FileIntake{true, uint32_t(kFileHeaderSize), "the file ends inside its headers"}) {}

bool FCImageHandle_Bmp::LoadSource(ByteSource& in) {
    return Decode(in, *this);
}

bool FCImageHandle_Bmp::SaveFile(const char* path, int32_t) {
    if (ImageToSave() == nullptr) return false;
    const FCObjImage& image = *ImageToSave();
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
