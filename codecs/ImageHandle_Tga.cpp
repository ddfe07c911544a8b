// TGA reader and writer: raw and run-length rows, 8/16/24/32 bits, grey, colour-mapped and true
// colour. Every read stays inside the block; rows cut short by the file's end keep zero pixels.
#include "ImageHandle_Tga.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "ByteOrder.h"
#include "ByteReader.h"
#include "FileReader.h"
#include "FileWriter.h"
#include "ImageSize.h"
#include "PixelLimit.h"

namespace {

constexpr size_t kTgaHeaderSize = 18;
constexpr uint8_t kColourMapPresent = 1;
constexpr uint8_t kTypeColourMapped = 1;
constexpr uint8_t kTypeTrueColour = 2;
constexpr uint8_t kTypeGrey = 3;
constexpr uint8_t kTypeRleColourMapped = 9;
constexpr uint8_t kTypeRleTrueColour = 10;
constexpr uint8_t kTypeRleGrey = 11;
constexpr uint8_t kDescriptorTopDown = 0x20;
constexpr uint8_t kRunPacketFlag = 0x80;
constexpr uint8_t kPacketCountMask = 0x7F;
constexpr uint32_t kMaxPacketPixels = 128;
constexpr uint32_t kColourMapEntries = 256;
constexpr uint8_t kFourByteMapEntryBits = 32;
constexpr uint8_t kWrittenMapEntryBits = 24;
constexpr uint32_t kMaxDimension = 65535;
constexpr char kImageId[] = "Kivra -- TGA";
constexpr size_t kImageIdLength = sizeof kImageId - 1;
constexpr int32_t kFlagRaw = -1;
constexpr int32_t kFlagRle = 1;
// Slack on top of the worst case of run-only encoding, two bytes per input byte.
constexpr size_t kRleWorkSlack = 4096;
// Raw rows read from a file per call; run-length packets are decoded from a window this large.
constexpr uint32_t kRowsPerRead = 256;
constexpr size_t kPacketWindowBytes = size_t(256) << 10;
// Header, the longest image ID and the largest colour map: everything read before the rows.
constexpr size_t kMaxHeadBytes = kTgaHeaderSize + 255 + kColourMapEntries * 4;

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

bool ReadHeader(ByteReader& in, TgaHeader& h) {
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

uint16_t ImageDepth(const TgaHeader& h) {
    if (IsGreyAlpha(h)) return 8;
    return h.depth == 15 ? 16 : h.depth;
}

bool ValidateHeader(const TgaHeader& h) {
    if (h.mapEntryBits == 15 || h.mapEntryBits == 16) return false;
    if (h.mapType == kColourMapPresent && uint32_t(h.mapFirst) + h.mapLength > kColourMapEntries)
        return false;
    // Run-length packets repeat whole bytes; sub-byte depths have no such pixels.
    return !IsRle(h) || h.depth % 8 == 0 || h.depth == 15;
}

// Entries the file does not give stay black.
bool ReadColourMap(ByteReader& in, const TgaHeader& h, RGBQUAD table[kColourMapEntries]) {
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

void KeepGreyBytes(const uint8_t* greyAlpha, size_t pixels, uint8_t* row) {
    for (size_t x = 0; x < pixels; ++x) row[x] = greyAlpha[2 * x];
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

// Reads the next packet header (and a run's pixel); false when the block ends first.
bool StartPacket(ByteReader& in, size_t pixelBytes, FCImageHandle_Tga::RlePending& pending) {
    uint8_t header = 0;
    if (!in.U8(header)) return false;
    pending.pixelsLeft = uint32_t(header & kPacketCountMask) + 1;
    pending.isRun = (header & kRunPacketFlag) != 0;
    if (!pending.isRun || in.Bytes(pending.pixel, pixelBytes)) return true;
    pending.pixelsLeft = 0;
    in.Skip(in.Remaining());
    return false;
}

// The run-length decoder; produced receives the pixels written to row, which fall short of
// pixelCount only when the source ends first.
void DecodePackets(uint16_t depth, ByteReader& in, uint8_t* row, int32_t pixelCount,
                   FCImageHandle_Tga::RlePending& pending, uint32_t& produced) {
    produced = 0;
    const size_t pixelBytes = depth / 8;
    if (pixelBytes == 0 || pixelBytes > 4) return;
    uint8_t* out = row;
    for (uint32_t left = pixelCount > 0 ? uint32_t(pixelCount) : 0; left > 0;) {
        if (pending.pixelsLeft == 0 && !StartPacket(in, pixelBytes, pending)) break;
        uint32_t n = std::min(pending.pixelsLeft, left);
        if (pending.isRun) {
            FillRun(out, pending.pixel, pixelBytes, n);
        } else {
            n = uint32_t(std::min<size_t>(n, in.Remaining() / pixelBytes));
            if (n == 0) break;
            in.Bytes(out, n * pixelBytes);
        }
        out += n * pixelBytes;
        left -= n;
        produced += n;
        pending.pixelsLeft -= n;
    }
}

uint16_t PacketDepth(const TgaHeader& h) {
    return h.depth == 15 ? 16 : h.depth;
}

// A row of sub-byte pixels ends on a whole byte: a 5-pixel 1-bit row takes one byte, not none.
size_t RawRowBytes(const TgaHeader& h) {
    uint64_t bytes = 0;
    return ComputeRowBytes(h.width, PacketDepth(h), bytes) ? size_t(bytes) : 0;
}

// Rows that dataBytes of raw rows leave unfilled.
uint32_t UnfilledRawRows(const TgaHeader& h, uint64_t dataBytes) {
    const size_t rowBytes = RawRowBytes(h);
    if (rowBytes == 0) return 0;
    const uint64_t filled = dataBytes / rowBytes;
    return uint32_t(filled < h.height ? h.height - filled : 0);
}

// Returns the rows the block ended before filling.
uint32_t ReadRawRows(ByteReader& in, const TgaHeader& h, const FCObjImage& image) {
    const size_t rowBytes = RawRowBytes(h);
    const uint32_t unfilled = UnfilledRawRows(h, in.Remaining());
    for (uint32_t y = 0; y < h.height && in.Remaining() != 0; ++y) {
        uint8_t* row = TargetRow(image, h, y);
        if (IsGreyAlpha(h)) {
            const uint8_t* greyAlpha = nullptr;
            const size_t got = std::min(rowBytes, in.Remaining());
            in.Take(got, greyAlpha);
            KeepGreyBytes(greyAlpha, got / 2, row);
        } else {
            in.BytesUpTo(row, rowBytes);
        }
    }
    return unfilled;
}

size_t GreyAlphaRowBytes(const TgaHeader& h) {
    uint64_t bytes = 0;
    ComputeRowBytes(h.width, PacketDepth(h), bytes);
    return size_t(bytes);
}

// Decodes one file row into its place (grey plus alpha through a work row); the pixels produced.
class RleRowDecoder {
  public:
    RleRowDecoder(const TgaHeader& h, const FCObjImage& image)
        : h_(h), image_(image), greyAlpha_(IsGreyAlpha(h) ? GreyAlphaRowBytes(h) : 0) {}

    uint8_t* Start(uint32_t fileRow) {
        row_ = TargetRow(image_, h_, fileRow);
        if (greyAlpha_.empty()) return row_;
        std::fill(greyAlpha_.begin(), greyAlpha_.end(), 0);
        return greyAlpha_.data();
    }
    void Finish() {
        if (!greyAlpha_.empty()) KeepGreyBytes(greyAlpha_.data(), h_.width, row_);
    }

  private:
    const TgaHeader& h_;
    const FCObjImage& image_;
    std::vector<uint8_t> greyAlpha_;
    uint8_t* row_ = nullptr;
};

uint32_t ReadRleRows(ByteReader& in, const TgaHeader& h, const FCObjImage& image) {
    FCImageHandle_Tga::RlePending pending;
    RleRowDecoder rows(h, image);
    uint32_t filled = 0;
    for (uint32_t y = 0; y < h.height && (in.Remaining() != 0 || pending.pixelsLeft != 0); ++y) {
        uint32_t produced = 0;
        DecodePackets(PacketDepth(h), in, rows.Start(y), h.width, pending, produced);
        rows.Finish();
        if (produced == h.width) ++filled;
    }
    return h.height - filled;
}

// Raw rows go from the file straight to their places in the pixel block, many rows per read.
uint32_t StreamRawRows(FileReader& file, uint64_t offset, const TgaHeader& h, const FCObjImage& image) {
    const size_t rowBytes = RawRowBytes(h);
    if (rowBytes == 0) return 0;
    iovec pieces[kRowsPerRead];
    for (uint32_t y = 0; y < h.height;) {
        const uint32_t n = std::min<uint32_t>(kRowsPerRead, h.height - y);
        for (uint32_t i = 0; i < n; ++i) pieces[i] = iovec{TargetRow(image, h, y + i), rowBytes};
        const size_t got = file.ReadScatteredAt(offset, pieces, int(n));
        offset += got;
        if (got < n * rowBytes) return h.height - y - uint32_t(got / rowBytes);
        y += n;
    }
    return 0;
}

// A bounded window on the file's packets, topped up as the decoder consumes it.
class PacketWindow {
  public:
    PacketWindow(FileReader& file, uint64_t offset)
        : file_(file), next_(offset), bytes_(kPacketWindowBytes) {}

    const uint8_t* Begin() const { return bytes_.data() + begin_; }
    const uint8_t* End() const { return bytes_.data() + end_; }
    size_t Available() const { return end_ - begin_; }
    // True once the window holds everything the file has left.
    bool AtFileEnd() const { return atFileEnd_; }
    void Consumed(const uint8_t* to) { begin_ = size_t(to - bytes_.data()); }

    // Keeps the unread bytes (a pixel cut by the window's edge among them) and reads more behind.
    void TopUp() {
        if (atFileEnd_ || Available() >= bytes_.size() / 2) return;
        std::memmove(bytes_.data(), Begin(), Available());
        end_ -= begin_;
        begin_ = 0;
        const size_t want = bytes_.size() - end_;
        const size_t got = file_.ReadAt(next_, bytes_.data() + end_, want);
        next_ += got;
        end_ += got;
        atFileEnd_ = got < want;
    }

  private:
    FileReader& file_;
    uint64_t next_;
    std::vector<uint8_t> bytes_;
    size_t begin_ = 0, end_ = 0;
    bool atFileEnd_ = false;
};

// The same decoding as ReadRleRows over a window instead of the whole file. Until the window
// holds the file's end, each call asks for no more pixels than the window's bytes are sure to
// hold (a pixel never costs more than a packet header and its own bytes), so no packet is
// started that the window cuts off; the packet state carries over between calls.
uint32_t StreamRleRows(FileReader& file, uint64_t offset, const TgaHeader& h, const FCObjImage& image) {
    const uint16_t depth = PacketDepth(h);
    const size_t worstPixelBytes = 1 + depth / 8;
    PacketWindow window(file, offset);
    FCImageHandle_Tga::RlePending pending;
    RleRowDecoder rows(h, image);
    uint32_t filled = 0;
    for (uint32_t y = 0; y < h.height; ++y) {
        window.TopUp();
        if (window.Available() == 0 && window.AtFileEnd() && pending.pixelsLeft == 0) break;
        uint8_t* out = rows.Start(y);
        uint32_t done = 0;
        while (done < h.width) {
            window.TopUp();
            const uint32_t left = h.width - done;
            const uint32_t ask = window.AtFileEnd()
                                     ? left
                                     : uint32_t(std::min<size_t>(left, window.Available() / worstPixelBytes));
            uint32_t produced = 0;
            ByteReader packets(window.Begin(), window.Available());
            DecodePackets(depth, packets, out + size_t(done) * (depth / 8), int32_t(ask), pending, produced);
            window.Consumed(window.Begin() + packets.Position());
            done += produced;
            if (produced < ask || produced == 0) break;
        }
        rows.Finish();
        if (done < h.width) break;
        ++filled;
    }
    return h.height - filled;
}

bool WriteHeaderAndMap(FileWriter& out, const FCObjImage& image, int32_t flag) {
    const uint16_t depth = image.InfoHeader.biBitCount;
    const bool mapped = depth == 8;
    uint8_t header[kTgaHeaderSize] = {};
    header[0] = uint8_t(kImageIdLength);
    header[1] = mapped ? kColourMapPresent : 0;
    if (flag == kFlagRaw) header[2] = mapped ? kTypeColourMapped : kTypeTrueColour;
    if (flag == kFlagRle) header[2] = mapped ? kTypeRleColourMapped : kTypeRleTrueColour;
    PutU16LE(header + 5, uint16_t(kColourMapEntries));
    header[7] = kWrittenMapEntryBits;
    PutU16LE(header + 12, uint16_t(image.InfoHeader.biWidth));
    PutU16LE(header + 14, uint16_t(image.InfoHeader.biHeight));
    header[16] = uint8_t(depth);
    header[17] = kDescriptorTopDown;
    if (!out.Write(header, sizeof header) || !out.Write(kImageId, kImageIdLength)) return false;
    if (!mapped) return true;
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

bool WriteRows(FileWriter& out, const FCObjImage& image, int32_t flag) {
    const uint16_t depth = image.InfoHeader.biBitCount;
    uint64_t rowBytes = 0;
    if (!ComputeRowBytes(image.InfoHeader.biWidth, depth, rowBytes)) return false;
    std::vector<uint8_t> work(flag == kFlagRle ? 2 * size_t(rowBytes) + kRleWorkSlack : 0);
    for (int32_t y = 0; y < image.InfoHeader.biHeight; ++y) {
        const uint8_t* row = image.RowTable[y];
        if (flag == kFlagRaw) {
            if (!out.Write(row, rowBytes)) return false;
            continue;
        }
        const uint8_t* end =
            FCImageHandle_Tga::RleEncodeLine(depth, row, image.InfoHeader.biWidth, work.data());
        if (!out.Write(work.data(), size_t(end - work.data()))) return false;
    }
    return true;
}

}  // namespace

namespace {

// Header, image ID and colour map; false for every file the reader refuses before it allocates.
bool ReadHead(ByteReader& in, TgaHeader& h, RGBQUAD table[kColourMapEntries]) {
    if (!ReadHeader(in, h) || !ValidateHeader(h) || !in.Skip(h.idLength)) return false;
    // A file shorter than its header, ID and colour map declare is refused before any allocation.
    return h.mapType != kColourMapPresent || ReadColourMap(in, h, table);
}

std::unique_ptr<FCObjImage> NewImage(const TgaHeader& h, const RGBQUAD table[kColourMapEntries],
                                     LoadResult& result) {
    if (!CheckPictureSize(h.width, h.height, ImageDepth(h), result)) return nullptr;
    auto image = std::make_unique<FCObjImage>();
    if (!image->Create(h.width, h.height, ImageDepth(h))) return nullptr;
    // Without a colour map (or for grey plus alpha) 8-bit images keep the grey default.
    if (h.mapType == kColourMapPresent && !IsGreyAlpha(h) && image->InfoHeader.biBitCount <= 8)
        image->SetPalette(table, int32_t(kColourMapEntries));
    return image;
}

}  // namespace

bool FCImageHandle_Tga::LoadMemory(const uint8_t* data, int32_t length) {
    if (data == nullptr || length <= 0) return false;
    ByteReader in(data, size_t(length));
    TgaHeader h;
    RGBQUAD table[kColourMapEntries];
    if (!ReadHead(in, h, table)) return false;
    auto image = NewImage(h, table, Result);
    if (!image) return false;
    Result.IncompleteRows = IsRle(h) ? ReadRleRows(in, h, *image) : ReadRawRows(in, h, *image);
    PushObject(image.release());
    return true;
}

// The head is judged from one small read that holds every byte ReadHead can look at, so the
// file is refused or accepted exactly as from memory.
bool FCImageHandle_Tga::LoadOpenFile(int descriptor, uint64_t size) {
    FileReader file;
    if (!file.Open(descriptor, size)) return FCImageHandle::LoadOpenFile(descriptor, size);
    uint8_t head[kMaxHeadBytes];
    ByteReader in(head, file.ReadAt(0, head, sizeof head));
    TgaHeader h;
    RGBQUAD table[kColourMapEntries];
    if (!ReadHead(in, h, table)) return false;
    if (IsGreyAlpha(h) && !IsRle(h)) return FCImageHandle::LoadOpenFile(descriptor, size);
    auto image = NewImage(h, table, Result);
    if (!image) return false;
    const uint64_t rows = in.Position();
    Result.IncompleteRows =
        IsRle(h) ? StreamRleRows(file, rows, h, *image) : StreamRawRows(file, rows, h, *image);
    PushObject(image.release());
    return true;
}

bool FCImageHandle_Tga::SaveFile(const char* path, int32_t flag) {
    if (SaveList.empty() || SaveList.front() == nullptr || !SaveList.front()->IsValid()) return false;
    const FCObjImage& image = *SaveList.front();
    const uint16_t depth = image.InfoHeader.biBitCount;
    if (depth != 8 && depth != 16 && depth != 24 && depth != 32) return false;
    // The header holds 16-bit sizes: the low bits of a larger size would make a corrupt file.
    if (uint32_t(image.InfoHeader.biWidth) > kMaxDimension ||
        uint32_t(image.InfoHeader.biHeight) > kMaxDimension)
        return false;
    // Any other flag would leave a file without rows.
    if (flag != kFlagRaw && flag != kFlagRle) return false;
    FileWriter out;
    return out.Open(path) && WriteHeaderAndMap(out, image, flag) && WriteRows(out, image, flag) &&
           out.Commit();
}

const uint8_t* FCImageHandle_Tga::RleDecodeLine(uint16_t depth, const uint8_t* source,
                                                const uint8_t* sourceEnd, uint8_t* row, int32_t pixelCount,
                                                RlePending& pending) {
    if (source == nullptr || source > sourceEnd) return source;
    ByteReader in(source, size_t(sourceEnd - source));
    uint32_t produced = 0;
    DecodePackets(depth, in, row, pixelCount, pending, produced);
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
