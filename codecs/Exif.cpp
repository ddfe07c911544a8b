// TIFF walk over an untrusted EXIF block: every offset and count from the block is checked against
// its length in 64 bits before it is used, so a damaged block reads as "no such tag".
#include "Exif.h"

#include <algorithm>

#include "ByteOrder.h"

namespace {

constexpr size_t kHeaderBytes = 8;
constexpr size_t kEntryBytes = 12;
constexpr size_t kCountBytes = 2;
constexpr size_t kNextOffsetBytes = 4;
constexpr uint16_t kTiffMagic = 42;
constexpr uint16_t kTagOrientation = 0x0112;
constexpr uint16_t kTagExifIfd = 0x8769;
constexpr uint16_t kTagPixelX = 0xA002;
constexpr uint16_t kTagPixelY = 0xA003;
constexpr uint16_t kTypeShort = 3;
constexpr uint16_t kTypeLong = 4;
constexpr uint16_t kMaxOrientation = 8;
// Type, count and value: what moves when two entries trade values, their tags staying in order.
constexpr size_t kEntryValueStart = 2;

// One IFD found inside the block: where its entries start and how many there are.
struct Ifd {
    size_t Entries = 0;
    uint16_t Count = 0;
};

// Reads a block whose IFD0 has been located; every position it is handed lies inside the block.
class TiffView {
  public:
    TiffView(const uint8_t* data, size_t size) : b_(data), size_(size) {}

    // TIFF in either byte order, and IFD0 wholly inside the block.
    bool Open() {
        if (size_ < kHeaderBytes) return false;
        if (b_[0] == 'I' && b_[1] == 'I') {
            little_ = true;
        } else if (b_[0] == 'M' && b_[1] == 'M') {
            little_ = false;
        } else {
            return false;
        }
        return U16(2) == kTiffMagic && Locate(U32(4), ifd0_);
    }

    // An IFD whose count, entries and next-IFD offset all lie inside the block.
    bool Locate(uint64_t offset, Ifd& ifd) const {
        if (offset < kHeaderBytes || offset + kCountBytes > size_) return false;
        ifd.Count = U16(size_t(offset));
        ifd.Entries = size_t(offset) + kCountBytes;
        return uint64_t(ifd.Entries) + uint64_t(ifd.Count) * kEntryBytes + kNextOffsetBytes <= size_;
    }

    // The entry of tag in ifd, or 0 (no entry starts there: the header does).
    size_t Find(const Ifd& ifd, uint16_t tag) const {
        for (size_t i = 0; i < ifd.Count; ++i) {
            const size_t at = ifd.Entries + i * kEntryBytes;
            if (U16(at) == tag) return at;
        }
        return 0;
    }

    // A SHORT or LONG of count 1, which the entry holds itself.
    bool Number(size_t entry, uint32_t& value) const {
        const uint16_t type = U16(entry + 2);
        if (U32(entry + 4) != 1) return false;
        if (type == kTypeShort) {
            value = U16(entry + 8);
        } else if (type == kTypeLong) {
            value = U32(entry + 8);
        } else {
            return false;
        }
        return true;
    }

    // IFD0's Orientation entry when it is a SHORT of count 1, or 0.
    size_t OrientationEntry() const {
        const size_t entry = Find(ifd0_, kTagOrientation);
        uint32_t value = 0;
        return entry != 0 && U16(entry + 2) == kTypeShort && Number(entry, value) ? entry : 0;
    }

    size_t NextIfdOffsetAt() const { return ifd0_.Entries + size_t(ifd0_.Count) * kEntryBytes; }
    const Ifd& Ifd0() const { return ifd0_; }
    bool Little() const { return little_; }
    uint16_t U16(size_t at) const { return little_ ? GetU16LE(b_ + at) : GetU16BE(b_ + at); }
    uint32_t U32(size_t at) const { return little_ ? GetU32LE(b_ + at) : GetU32BE(b_ + at); }

  private:
    const uint8_t* b_;
    size_t size_;
    bool little_ = true;
    Ifd ifd0_;
};

void PutU16(uint8_t* at, uint16_t value, bool little) {
    at[little ? 0 : 1] = uint8_t(value);
    at[little ? 1 : 0] = uint8_t(value >> 8);
}

}  // namespace

bool ReadExifOrientation(const std::vector<uint8_t>& tiff, uint16_t& orientation) {
    orientation = 0;
    TiffView view(tiff.data(), tiff.size());
    if (!view.Open()) return false;
    const size_t entry = view.OrientationEntry();
    const uint16_t value = entry != 0 ? view.U16(entry + 8) : 0;
    if (value >= 1 && value <= kMaxOrientation) orientation = value;
    return true;
}

void PrepareExifForOutput(std::vector<uint8_t>& tiff, uint16_t orientation) {
    TiffView view(tiff.data(), tiff.size());
    if (!view.Open()) return;
    const size_t next = view.NextIfdOffsetAt();
    std::fill(tiff.begin() + long(next), tiff.begin() + long(next + kNextOffsetBytes), uint8_t(0));
    const size_t entry = view.OrientationEntry();
    if (orientation != 0 && entry != 0) PutU16(tiff.data() + entry + 8, orientation, view.Little());
}

void SwapExifPixelDimensions(std::vector<uint8_t>& tiff) {
    TiffView view(tiff.data(), tiff.size());
    if (!view.Open()) return;
    const size_t pointer = view.Find(view.Ifd0(), kTagExifIfd);
    uint32_t offset = 0;
    Ifd exif;
    if (pointer == 0 || !view.Number(pointer, offset) || !view.Locate(offset, exif)) return;
    const size_t x = view.Find(exif, kTagPixelX);
    const size_t y = view.Find(exif, kTagPixelY);
    uint32_t value = 0;
    if (x == 0 || y == 0 || !view.Number(x, value) || !view.Number(y, value)) return;
    std::swap_ranges(tiff.begin() + long(x + kEntryValueStart), tiff.begin() + long(x + kEntryBytes),
                     tiff.begin() + long(y + kEntryValueStart));
}
