// TGA reader and writer: raw and run-length rows, 8/16/24/32 bits, grey, colour-mapped and true
// colour, and alpha from the attribute bits where the load keeps it. Every read stays inside the
// source; rows cut short by the file's end keep zero pixels.
#include "ImageHandle_Tga.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ByteOrder.h"
#include "ByteSource.h"
#include "ChannelMask.h"
#include "FileWriter.h"
#include "ImageSize.h"
#include "PictureView.h"
#include "PixelLimit.h"
#include "SampleRows.h"

namespace {

constexpr size_t kTgaHeaderSize = 18;
constexpr uint8_t kNoColourMap = 0;
constexpr uint8_t kColourMapPresent = 1;
constexpr uint8_t kTypeColourMapped = 1;
constexpr uint8_t kTypeTrueColour = 2;
constexpr uint8_t kTypeGrey = 3;
constexpr uint8_t kTypeRleColourMapped = 9;
constexpr uint8_t kTypeRleTrueColour = 10;
constexpr uint8_t kTypeRleGrey = 11;
constexpr uint8_t kDescriptorTopDown = 0x20;
constexpr uint8_t kDescriptorRightOrigin = 0x10;
constexpr uint8_t kAttributeBitsMask = 0x0F;
constexpr uint8_t kEightAttributeBits = 8;
constexpr uint16_t kAlphaBit16 = 0x8000;
// The TGA 2.0 footer closes the file: extension area offset, developer area offset, signature.
constexpr size_t kFooterBytes = 26;
constexpr char kFooterSignature[] = "TRUEVISION-XFILE.";  // with its zero, the footer's last 18 bytes
constexpr size_t kFooterSignatureAt = 8;
// The extension area's attributes type: what the attribute bits hold.
constexpr size_t kAttributesTypeAt = 494;
constexpr uint8_t kAttributesStraightAlpha = 3;
constexpr uint8_t kAttributesPremultipliedAlpha = 4;
constexpr uint8_t kRunPacketFlag = 0x80;
constexpr uint8_t kPacketCountMask = 0x7F;
constexpr uint32_t kMaxPacketPixels = 128;
constexpr uint32_t kColourMapEntries = 256;
constexpr uint8_t kThreeByteMapEntryBits = 24;
constexpr uint8_t kFourByteMapEntryBits = 32;
constexpr uint8_t kWrittenMapEntryBits = kThreeByteMapEntryBits;
constexpr uint32_t kMaxDimension = FCImageHandle_Tga::kMaxSide;
constexpr char kImageId[] = "Kivra -- TGA";
constexpr size_t kImageIdLength = sizeof kImageId - 1;
constexpr int32_t kFlagRaw = -1;
constexpr int32_t kFlagRle = 1;
// Slack on top of the worst case of run-only encoding, two bytes per input byte.
constexpr size_t kRleWorkSlack = 4096;
// Raw rows read from the source per call, each straight into its place.
constexpr uint32_t kRowsPerRead = 256;

struct TgaHeader {
    uint8_t idLength = 0;
    uint8_t mapType = 0;
    uint8_t imageType = 0;
    uint16_t mapFirst = 0;
    uint16_t mapLength = 0;
    uint8_t mapEntryBits = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t depth = 0;
    uint8_t descriptor = 0;
};

bool ReadHeader(ByteSource& in, TgaHeader& h) {
    return in.U8(h.idLength) && in.U8(h.mapType) && in.U8(h.imageType) && in.U16LE(h.mapFirst) &&
           in.U16LE(h.mapLength) && in.U8(h.mapEntryBits) && in.Skip(4) && in.U16LE(h.width) &&
           in.U16LE(h.height) && in.U8(h.depth) && in.U8(h.descriptor);
}

bool IsRle(const TgaHeader& h) {
    return h.imageType == kTypeRleColourMapped || h.imageType == kTypeRleTrueColour ||
           h.imageType == kTypeRleGrey;
}

// Grey plus alpha: read as 5-5-5 colour it would give plainly wrong colours, so the grey byte is
// kept and the alpha byte dropped.
bool IsGreyAlpha(const TgaHeader& h) {
    return (h.imageType == kTypeGrey || h.imageType == kTypeRleGrey) && h.depth == 16;
}

// Bits of one pixel as the file stores it: 15-bit colour takes a whole 16-bit word.
uint16_t FileDepth(const TgaHeader& h) {
    return h.depth == 15 ? 16 : h.depth;
}

uint16_t ImageDepth(const TgaHeader& h) {
    return IsGreyAlpha(h) ? 8 : FileDepth(h);
}

// The depths each image type has. Raw grey also takes 1 and 4 bits, which bilevel and 16-level
// writers produce; run-length packets repeat whole bytes, so they have no sub-byte depths.
bool IsDepthOfType(uint8_t type, uint8_t depth) {
    switch (type) {
        case kTypeColourMapped:
        case kTypeRleColourMapped:
            return depth == 8;
        case kTypeTrueColour:
        case kTypeRleTrueColour:
            return depth == 15 || depth == 16 || depth == 24 || depth == 32;
        case kTypeGrey:
            return depth == 1 || depth == 4 || depth == 8 || depth == 16;
        case kTypeRleGrey:
            return depth == 8 || depth == 16;
        default:
            return false;
    }
}

// Accepts exactly what the format defines; everything else is refused, never guessed at. Decision:
// with no colour map (type 0) the five map fields are ignored whatever they hold (writers leave
// values there, and without a map they change nothing in the decoding); a colour-mapped image still
// needs a valid map.
bool ValidateHeader(const TgaHeader& h, LoadResult& result) {
    if (h.mapType != kNoColourMap && h.mapType != kColourMapPresent)
        return result.Refuse(LoadStatus::Damaged, "colour map type " + std::to_string(h.mapType));
    if (!IsDepthOfType(h.imageType, h.depth)) {
        // A known type at a depth it cannot have is damage; an unknown type (no image data,
        // Huffman coding) is a kind of file this reader does not read.
        const bool known = IsDepthOfType(h.imageType, 8) || IsDepthOfType(h.imageType, 24);
        if (!known)
            return result.Refuse(LoadStatus::Unsupported, "image type " + std::to_string(h.imageType));
        return result.Refuse(LoadStatus::Damaged, "image type " + std::to_string(h.imageType) + " at " +
                                                      std::to_string(h.depth) + " bits per pixel");
    }
    const bool mapped = h.imageType == kTypeColourMapped || h.imageType == kTypeRleColourMapped;
    if (h.mapType == kNoColourMap)
        return !mapped || result.Refuse(LoadStatus::Damaged, "a colour-mapped image without a colour map");
    if (h.mapEntryBits != kThreeByteMapEntryBits && h.mapEntryBits != kFourByteMapEntryBits) {
        // 15- and 16-bit map entries are valid TGA that this reader does not widen.
        const LoadStatus status =
            h.mapEntryBits == 15 || h.mapEntryBits == 16 ? LoadStatus::Unsupported : LoadStatus::Damaged;
        return result.Refuse(status, "colour map entries of " + std::to_string(h.mapEntryBits) + " bits");
    }
    if (uint32_t(h.mapFirst) + h.mapLength > kColourMapEntries)
        return result.Refuse(LoadStatus::Damaged, "a colour map past entry 255");
    return true;
}

// Entries the file does not give stay black.
bool ReadColourMap(ByteSource& in, const TgaHeader& h, RGBQUAD table[kColourMapEntries]) {
    std::memset(table, 0, sizeof(RGBQUAD) * kColourMapEntries);
    const bool fourBytes = h.mapEntryBits == kFourByteMapEntryBits;
    for (uint32_t i = 0; i < h.mapLength; ++i) {
        uint8_t e[4] = {0, 0, 0, 0};
        if (!in.Bytes(e, fourBytes ? 4 : 3)) return false;
        table[h.mapFirst + i] = RGBQUAD{e[0], e[1], e[2], e[3]};
    }
    return true;
}

uint8_t* TargetRow(const FCObjImage& image, const TgaHeader& h, uint32_t fileRow) {
    const bool topDown = (h.descriptor & kDescriptorTopDown) != 0;
    return image.RowTable[topDown ? fileRow : h.height - 1 - fileRow];
}

bool StoredRightToLeft(const TgaHeader& h) {
    return (h.descriptor & kDescriptorRightOrigin) != 0;
}

// A right-origin file stores each row right to left: its pixels are put back in order in place.
// Sub-byte pixels are taken apart and put back, most significant first, and the padding bits at
// the row's end stay where they are.
void MirrorRow(uint8_t* row, uint32_t width, uint16_t depth) {
    if (depth >= 8) {
        const size_t bytes = depth / 8;
        for (uint32_t x = 0; x < width / 2; ++x) {
            uint8_t* left = row + size_t(x) * bytes;
            std::swap_ranges(left, left + bytes, row + size_t(width - 1 - x) * bytes);
        }
        return;
    }
    const uint32_t perByte = 8 / depth, mask = (1u << depth) - 1;
    const auto shift = [&](uint32_t x) { return 8 - depth * (x % perByte + 1); };
    for (uint32_t x = 0; x < width / 2; ++x) {
        const uint32_t mirror = width - 1 - x;
        uint8_t& a = row[x / perByte];
        uint8_t& b = row[mirror / perByte];
        const uint32_t left = (a >> shift(x)) & mask, right = (b >> shift(mirror)) & mask;
        a = uint8_t((a & ~(mask << shift(x))) | (right << shift(x)));
        b = uint8_t((b & ~(mask << shift(mirror))) | (left << shift(mirror)));
    }
}

// A row of sub-byte pixels ends on a whole byte: a 5-pixel 1-bit row takes one byte, not none.
size_t FileRowBytes(const TgaHeader& h) {
    uint64_t bytes = 0;
    return ComputeRowBytes(h.width, FileDepth(h), bytes) ? size_t(bytes) : 0;
}

// Repeats one pixel by doubling the filled part, so a run costs a few block copies.
void FillRun(uint8_t* out, const uint8_t* pixel, size_t pixelBytes, size_t count) {
    if (pixelBytes == 1) {
        std::memset(out, pixel[0], count);
        return;
    }
    const size_t total = count * pixelBytes;
    std::memcpy(out, pixel, pixelBytes);
    for (size_t done = pixelBytes; done < total;) {
        const size_t chunk = std::min(done, total - done);
        std::memcpy(out + done, out, chunk);
        done += chunk;
    }
}

// Reads the next packet header (and a run's pixel); false when the source ends first.
bool StartPacket(ByteSource& in, size_t pixelBytes, FCImageHandle_Tga::RlePending& pending) {
    uint8_t header = 0;
    if (!in.U8(header)) return false;
    pending.pixelsLeft = uint32_t(header & kPacketCountMask) + 1;
    pending.isRun = (header & kRunPacketFlag) != 0;
    if (!pending.isRun || in.Bytes(pending.pixel, pixelBytes)) return true;
    pending.pixelsLeft = 0;
    return false;
}

// The run-length decoder: returns the pixels written to row, which fall short of pixelCount only
// when the source ends first (a literal's last whole pixels are kept).
uint32_t DecodePackets(uint16_t depth, ByteSource& in, uint8_t* row, uint32_t pixelCount,
                       FCImageHandle_Tga::RlePending& pending) {
    const size_t pixelBytes = depth / 8;
    if (pixelBytes == 0 || pixelBytes > 4) return 0;
    uint32_t produced = 0;
    for (uint8_t* out = row; produced < pixelCount;) {
        if (pending.pixelsLeft == 0 && !StartPacket(in, pixelBytes, pending)) break;
        uint32_t n = std::min(pending.pixelsLeft, pixelCount - produced);
        if (pending.isRun) {
            FillRun(out, pending.pixel, pixelBytes, n);
        } else {
            const size_t got = in.BytesUpTo(out, size_t(n) * pixelBytes);
            if (got < size_t(n) * pixelBytes) {
                // The pixel the source cut stays zero, like every pixel after it, and unread.
                std::memset(out + got / pixelBytes * pixelBytes, 0, got % pixelBytes);
                in.Seek(in.Position() - got % pixelBytes);
                n = uint32_t(got / pixelBytes);
                pending.pixelsLeft = 0;
                produced += n;
                break;
            }
        }
        out += size_t(n) * pixelBytes;
        produced += n;
        pending.pixelsLeft -= n;
    }
    return produced;
}

// Raw rows of every kind but grey plus alpha, many per read, each straight into its place.
uint32_t ReadRawRows(ByteSource& in, const TgaHeader& h, const FCObjImage& image) {
    const size_t rowBytes = FileRowBytes(h);
    iovec rows[kRowsPerRead];
    for (uint32_t y = 0; y < h.height;) {
        const uint32_t n = std::min<uint32_t>(kRowsPerRead, h.height - y);
        for (uint32_t i = 0; i < n; ++i) rows[i] = iovec{TargetRow(image, h, y + i), rowBytes};
        const size_t got = in.ScatterUpTo(rows, int(n));
        for (uint32_t i = 0; StoredRightToLeft(h) && i < n && i * rowBytes < got; ++i)
            MirrorRow(static_cast<uint8_t*>(rows[i].iov_base), h.width, ImageDepth(h));
        if (got < n * rowBytes) return h.height - y - uint32_t(got / rowBytes);
        y += n;
    }
    return 0;
}

// Rows that need a work row, grey plus alpha (alpha dropped), and run-length rows; a packet
// that reaches past a row continues in the next, as readers of such files expect.
uint32_t ReadRowsThroughPackets(ByteSource& in, const TgaHeader& h, const FCObjImage& image) {
    const bool greyAlpha = IsGreyAlpha(h);
    std::vector<uint8_t> work(greyAlpha ? FileRowBytes(h) : 0);
    FCImageHandle_Tga::RlePending pending;
    for (uint32_t y = 0; y < h.height; ++y) {
        uint8_t* row = TargetRow(image, h, y);
        uint8_t* to = greyAlpha ? work.data() : row;
        const size_t bytes =
            IsRle(h) ? size_t(DecodePackets(FileDepth(h), in, to, h.width, pending)) * (FileDepth(h) / 8)
                     : in.BytesUpTo(to, work.size());
        if (greyAlpha)
            for (size_t x = 0; x < bytes / 2; ++x) row[x] = work[2 * x];
        if (StoredRightToLeft(h)) MirrorRow(row, h.width, ImageDepth(h));
        if (bytes < FileRowBytes(h)) return h.height - y;
    }
    return 0;
}

// The header and image ID of a file written with a top-left origin; a colour map is written after
// them for 8 bits.
bool WriteHeader(FileWriter& out, int32_t width, int32_t height, uint16_t depth, uint8_t attributeBits,
                 bool grey, int32_t flag) {
    const bool mapped = depth == 8 && !grey;
    uint8_t header[kTgaHeaderSize] = {};
    header[0] = uint8_t(kImageIdLength);
    header[1] = mapped ? kColourMapPresent : 0;
    if (flag == kFlagRaw) header[2] = grey ? kTypeGrey : mapped ? kTypeColourMapped : kTypeTrueColour;
    if (flag == kFlagRle)
        header[2] = grey ? kTypeRleGrey : mapped ? kTypeRleColourMapped : kTypeRleTrueColour;
    PutU16LE(header + 5, uint16_t(kColourMapEntries));
    header[7] = kWrittenMapEntryBits;
    PutU16LE(header + 12, uint16_t(width));
    PutU16LE(header + 14, uint16_t(height));
    header[16] = uint8_t(depth);
    header[17] = kDescriptorTopDown | attributeBits;
    return out.Write(header, sizeof header) && out.Write(kImageId, kImageIdLength);
}

// What a file's rows are made of: a picture's rows in the layout chosen for it, or the rows of a
// colour-mapped, 16-bit or 32-bit image as it holds them, which no layout describes.
struct StoredRows {
    int32_t Width = 0;
    int32_t Height = 0;
    uint16_t Depth = 24;
    uint8_t AttributeBits = 0;
    bool Grey = false;                           // grey, and alpha where AttributeBits say so
    const FCObjImage* Mapped = nullptr;          // the image whose palette becomes the colour map
    std::function<const uint8_t*(int32_t)> Row;  // top first
};

bool WriteColourMap(FileWriter& out, const FCObjImage& image) {
    RGBQUAD palette[kColourMapEntries] = {};
    image.GetPalette(palette, int32_t(kColourMapEntries));
    uint8_t map[kColourMapEntries * 3];
    for (uint32_t i = 0; i < kColourMapEntries; ++i) {
        map[3 * i] = palette[i].rgbBlue;
        map[3 * i + 1] = palette[i].rgbGreen;
        map[3 * i + 2] = palette[i].rgbRed;
    }
    return out.Write(map, sizeof map);
}

bool WriteFile(const char* path, const StoredRows& rows, int32_t flag) {
    // The header holds 16-bit sizes: the low bits of a larger size would make a corrupt file.
    if (uint32_t(rows.Width) > kMaxDimension || uint32_t(rows.Height) > kMaxDimension) return false;
    FileWriter out;
    if (!out.Open(path) ||
        !WriteHeader(out, rows.Width, rows.Height, rows.Depth, rows.AttributeBits, rows.Grey, flag) ||
        (rows.Mapped != nullptr && !WriteColourMap(out, *rows.Mapped)))
        return false;
    const size_t rowBytes = size_t(rows.Width) * (rows.Depth / 8);
    std::vector<uint8_t> work(flag == kFlagRle ? 2 * rowBytes + kRleWorkSlack : 0);
    for (int32_t y = 0; y < rows.Height; ++y) {
        const uint8_t* row = rows.Row(y);
        const uint8_t* bytes = row;
        size_t count = rowBytes;
        if (flag == kFlagRle) {
            bytes = work.data();
            count = size_t(FCImageHandle_Tga::RleEncodeLine(rows.Depth, row, rows.Width, work.data()) -
                           work.data());
        }
        if (!out.Write(bytes, count)) return false;
    }
    return out.Commit();
}

}  // namespace

namespace {

// Header, image ID and colour map; false for every file the reader refuses before it allocates.
bool ReadHead(ByteSource& in, TgaHeader& h, RGBQUAD table[kColourMapEntries], LoadResult& result) {
    if (!ReadHeader(in, h)) return result.Refuse(LoadStatus::Damaged, "the file ends inside its header");
    if (!ValidateHeader(h, result)) return false;
    // A file shorter than its header, ID and colour map declare is refused before any allocation.
    if (!in.Skip(h.idLength) || (h.mapType == kColourMapPresent && !ReadColourMap(in, h, table)))
        return result.Refuse(LoadStatus::Damaged, "the file ends inside its image ID or colour map");
    return true;
}

bool CheckSize(const TgaHeader& h, const LoadOptions& options, LoadResult& result) {
    if (h.width == 0 || h.height == 0) return result.Refuse(LoadStatus::Damaged, "a width or height of 0");
    return CheckPictureSize(h.width, h.height, ImageDepth(h), options, result);
}

std::unique_ptr<FCObjImage> NewImage(const TgaHeader& h, const RGBQUAD table[kColourMapEntries],
                                     const LoadOptions& options, LoadResult& result) {
    if (!CheckSize(h, options, result)) return nullptr;
    auto image = std::make_unique<FCObjImage>();
    if (!image->Create(h.width, h.height, ImageDepth(h))) {
        result.Refuse(LoadStatus::OutOfMemory, "out of memory");
        return nullptr;
    }
    // Only colour-mapped files give a palette: true-colour maps are skipped, grey keeps the ramp.
    if (h.imageType == kTypeColourMapped || h.imageType == kTypeRleColourMapped)
        image->SetPalette(table, int32_t(kColourMapEntries));
    return image;
}

// Alpha in the attribute bits: 8 of them beside 32-bit colour or beside grey, the word's top bit
// in 16-bit colour. Decision: 16-bit colour takes any count of attribute bits as that one bit
// (writers put 8 there, and the word has no room for more).
bool HasAlphaBits(const TgaHeader& h) {
    const uint8_t bits = h.descriptor & kAttributeBitsMask;
    const bool trueColour = h.imageType == kTypeTrueColour || h.imageType == kTypeRleTrueColour;
    if (trueColour && h.depth == 16) return bits != 0;
    return bits == kEightAttributeBits && ((trueColour && h.depth == 32) || IsGreyAlpha(h));
}

enum class AlphaKind { None, Straight, Premultiplied };

// What a TGA 2.0 extension area says the attribute bits hold: types 0 to 2 no alpha, 3 straight and
// 4 premultiplied alpha. Without an area, or with a type of no defined meaning, they are straight
// alpha, as the descriptor says. The source is left where it was.
AlphaKind ReadAlphaKind(ByteSource& in) {
    const uint64_t resume = in.Position();
    uint8_t footer[kFooterBytes];
    uint8_t type = kAttributesStraightAlpha;
    if (in.Size() >= kFooterBytes && in.Seek(in.Size() - kFooterBytes) && in.Bytes(footer, kFooterBytes) &&
        std::memcmp(footer + kFooterSignatureAt, kFooterSignature, sizeof kFooterSignature) == 0) {
        const uint32_t extension = GetU32LE(footer);
        if (extension != 0 && !(in.Seek(uint64_t(extension) + kAttributesTypeAt) && in.U8(type)))
            type = kAttributesStraightAlpha;
    }
    in.Seek(resume);
    if (type == kAttributesPremultipliedAlpha) return AlphaKind::Premultiplied;
    return type < kAttributesStraightAlpha ? AlphaKind::None : AlphaKind::Straight;
}

// One file row of colour and attribute bits as red, green, blue and alpha. 16-bit colour is widened as the
// image model widens 5-5-5 words. The kind of row is chosen once a row, not per pixel.
void SamplesFromRow(const TgaHeader& h, bool keepGrey, const uint8_t* from, uint8_t* to) {
    static const ChannelMask kFive[3] = {DescribeChannelMask(kMasks555[0]), DescribeChannelMask(kMasks555[1]),
                                         DescribeChannelMask(kMasks555[2])};
    if (IsGreyAlpha(h) && keepGrey) {
        std::memcpy(to, from, size_t(h.width) * 2);
    } else if (IsGreyAlpha(h)) {
        for (uint32_t x = 0; x < h.width; ++x, to += 4, from += 2) {
            to[0] = to[1] = to[2] = from[0];
            to[3] = from[1];
        }
    } else if (h.depth == 16) {
        for (uint32_t x = 0; x < h.width; ++x, to += 4, from += 2) {
            const uint16_t word = GetU16LE(from);
            for (int c = 0; c < 3; ++c) to[c] = ExtractChannel(word, kFive[c]);
            to[3] = (word & kAlphaBit16) != 0 ? 255 : 0;
        }
    } else {
        for (uint32_t x = 0; x < h.width; ++x, to += 4, from += 4) {
            to[0] = from[2], to[1] = from[1], to[2] = from[0];
            to[3] = from[3];
        }
    }
}

// Every file row through a work row into 8-bit samples with alpha, and into the sink. Decision:
// alpha 0 everywhere is what writers leave who use no alpha, so such a picture is opaque.
bool DecodeWithAlpha(ByteSource& in, const TgaHeader& h, AlphaKind kind, FCImageHandle_Tga& codec) {
    if (!CheckSize(h, codec.Options, codec.Result)) return false;
    RowSink& rows = codec.Rows;
    rows.ZeroAlphaIsNone = true;
    const bool keepGrey = IsGreyAlpha(h) && rows.KeepsGrey();
    const uint32_t channels = keepGrey ? 2 : 4;
    if (!rows.Begin(h.width, h.height, channels, 255))
        return codec.Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    const size_t rowBytes = FileRowBytes(h);
    std::vector<uint8_t> work(rowBytes);
    FCImageHandle_Tga::RlePending pending;
    const size_t pixelBytes = FileDepth(h) / 8;
    for (uint32_t y = 0; y < h.height; ++y) {
        const size_t bytes =
            IsRle(h) ? size_t(DecodePackets(FileDepth(h), in, work.data(), h.width, pending)) * pixelBytes
                     : in.BytesUpTo(work.data(), rowBytes);
        const bool topDown = (h.descriptor & kDescriptorTopDown) != 0;
        const int32_t target = int32_t(topDown ? y : h.height - 1 - y);
        // A row stored right to left is read as far as the file goes, from the right.
        const bool mirrored = StoredRightToLeft(h);
        if (mirrored) MirrorRow(work.data(), h.width, FileDepth(h));
        uint8_t* row = rows.Row(target);
        SamplesFromRow(h, keepGrey, work.data(), row);
        // Pixels the file ends inside stay untouched: black, and no alpha of the file's.
        const uint32_t whole = uint32_t(std::min<size_t>(bytes / pixelBytes, h.width));
        const uint32_t first = mirrored ? h.width - whole : 0;
        if (kind == AlphaKind::Premultiplied && keepGrey) {
            for (size_t x = first; x < size_t(first) + whole; ++x)
                row[2 * x] = uint8_t(Unpremultiply(row[2 * x], row[2 * x + 1], 255));
        } else if (kind == AlphaKind::Premultiplied) {
            TakeOutPremultipliedAlpha(row + size_t(first) * channels, whole, 255);
        }
        rows.Put(target, first, 1, first + whole);
        if (bytes < rowBytes) {
            codec.Result.IncompleteRows = h.height - y;
            break;
        }
    }
    return true;
}

// A grey file the sink keeps grey: the decoded image's rows go in as a grey sample a pixel, each
// looked up in its ramp (1, 4 or 8 bits an index).
bool GreyIntoSink(const FCObjImage& image, FCImageHandle_Tga& codec) {
    const int32_t width = image.InfoHeader.biWidth, height = image.InfoHeader.biHeight;
    const uint16_t bits = image.InfoHeader.biBitCount;
    if (bits != 1 && bits != 4 && bits != 8)
        return codec.Result.Refuse(LoadStatus::Damaged, "no grey picture");
    if (!codec.Rows.Begin(width, height, PixelLayout{1, 255, false}))
        return codec.Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    RGBQUAD ramp[kColourMapEntries] = {};
    image.GetPalette(ramp, int32_t(kColourMapEntries));
    const uint32_t perByte = 8u / bits, mask = (1u << bits) - 1;
    std::vector<uint8_t> row(static_cast<size_t>(width));
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* in = image.RowTable[y];
        for (uint32_t x = 0; x < uint32_t(width); ++x) {
            const uint32_t shift = (perByte - 1 - x % perByte) * bits;
            row[x] = ramp[(in[x / perByte] >> shift) & mask].rgbRed;
        }
        codec.Rows.PutRow(y, row.data());
    }
    return true;
}

// The one reader, over memory or a file; rows cut short by the end keep zero pixels.
bool Decode(ByteSource& in, FCImageHandle_Tga& codec) {
    TgaHeader h;
    RGBQUAD table[kColourMapEntries];
    if (!ReadHead(in, h, table, codec.Result)) return false;
    if (HasAlphaBits(h)) {
        const AlphaKind kind = ReadAlphaKind(in);
        if (kind != AlphaKind::None) return DecodeWithAlpha(in, h, kind, codec);
    }
    auto image = NewImage(h, table, codec.Options, codec.Result);
    if (!image) return false;
    codec.Result.IncompleteRows =
        (IsRle(h) || IsGreyAlpha(h)) ? ReadRowsThroughPackets(in, h, *image) : ReadRawRows(in, h, *image);
    const bool grey = h.imageType == kTypeGrey || h.imageType == kTypeRleGrey;
    if (grey && codec.Rows.KeepsGrey()) return GreyIntoSink(*image, codec);
    codec.PushObject(image.release());
    return true;
}

}  // namespace

bool FCImageHandle_Tga::LoadSource(ByteSource& in) {
    return Decode(in, *this);
}

bool FCImageHandle_Tga::SaveFile(const char* path, int32_t flag) {
    // Any other flag would leave a file without rows.
    if (flag != kFlagRaw && flag != kFlagRle) return false;
    const FCObjImage* image = SaveSamples == nullptr ? ImageToSave() : nullptr;
    const uint16_t depth = image != nullptr ? uint16_t(image->InfoHeader.biBitCount) : 24;
    if (depth == 24) return FCImageHandle::SaveFile(path, flag);
    if (depth != 8 && depth != 16 && depth != 32) return false;
    StoredRows rows;
    rows.Width = image->InfoHeader.biWidth;
    rows.Height = image->InfoHeader.biHeight;
    rows.Depth = depth;
    rows.Mapped = depth == 8 ? image : nullptr;
    rows.Row = [image](int32_t y) -> const uint8_t* { return image->RowTable[y]; };
    return WriteFile(path, rows, flag);
}

bool FCImageHandle_Tga::WritePicture(const char* path, int32_t flag) {
    // TGA stores blue first, as the 24-bit image does, and alpha in 8 attribute bits; grey as
    // type 3 (11 run-length), a byte a pixel, with its alpha byte after it.
    RowSource source(SaveView, SaveLayout);
    StoredRows rows;
    rows.Width = SaveView.Width;
    rows.Height = SaveView.Height;
    rows.Depth = uint16_t(SaveLayout.Channels * 8);
    rows.AttributeBits = SaveLayout.HasAlpha() ? kEightAttributeBits : 0;
    rows.Grey = !SaveLayout.Colour();
    rows.Row = [&source](int32_t y) { return source.Row(y); };
    return WriteFile(path, rows, flag);
}

const uint8_t* FCImageHandle_Tga::RleDecodeLine(uint16_t depth, const uint8_t* source,
                                                const uint8_t* sourceEnd, uint8_t* row, int32_t pixelCount,
                                                RlePending& pending) {
    if (source == nullptr || source > sourceEnd || pixelCount <= 0) return source;
    ByteSource in(source, size_t(sourceEnd - source));
    DecodePackets(depth, in, row, uint32_t(pixelCount), pending);
    return source + in.Position();
}

uint8_t* FCImageHandle_Tga::RleEncodeLine(uint16_t depth, const uint8_t* row, int32_t pixelCount,
                                          uint8_t* out) {
    const size_t pixelBytes = depth / 8;
    if (pixelBytes == 0) return out;
    for (int32_t x = 0; x < pixelCount;) {
        const uint8_t* value = row + size_t(x) * pixelBytes;
        uint32_t run = 1;
        while (run < kMaxPacketPixels && x + int32_t(run) < pixelCount &&
               std::memcmp(value, value + run * pixelBytes, pixelBytes) == 0)
            ++run;
        *out++ = uint8_t(kRunPacketFlag | (run - 1));
        std::memcpy(out, value, pixelBytes);
        out += pixelBytes;
        x += int32_t(run);
    }
    return out;
}
