// TIFF walk over an untrusted EXIF block: every offset and count from the block is checked against
// its length in 64 bits before it is used, so a damaged block reads as damaged, never past its end.
#include "Exif.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <iterator>
#include <tuple>
#include <utility>

#include "ByteOrder.h"

namespace {

constexpr size_t kHeaderBytes = 8;
constexpr size_t kEntryBytes = 12;
constexpr size_t kCountBytes = 2;
constexpr size_t kNextOffsetBytes = 4;
constexpr uint16_t kTiffMagic = 42;
constexpr uint16_t kTagOrientation = 0x0112;
constexpr uint16_t kTagExifIfd = 0x8769;
constexpr uint16_t kTagGpsIfd = 0x8825;
constexpr uint16_t kTagInteropIfd = 0xA005;
constexpr uint16_t kTypeIfd = 13;
constexpr uint16_t kTagColourSpace = 0xA001;
constexpr uint16_t kColourSpaceSrgb = 1;
constexpr uint16_t kTagInteropIndex = 0x0001;
constexpr uint16_t kTypeAscii = 2;
// Bytes of one value of each known type (BYTE to DOUBLE, then IFD), by type number; 0: unknown.
constexpr uint8_t kTypeBytes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
// An entry holds its value itself when it takes at most this much.
constexpr uint64_t kInlineValueBytes = 4;
constexpr uint16_t kTagPixelX = 0xA002;
constexpr uint16_t kTagPixelY = 0xA003;
constexpr uint16_t kTypeShort = 3;
constexpr uint16_t kTypeLong = 4;
constexpr uint16_t kTypeRational = 5;
constexpr uint16_t kTagXResolution = 0x011A;
constexpr uint16_t kTagYResolution = 0x011B;
constexpr uint16_t kTagResolutionUnit = 0x0128;
constexpr uint16_t kTagYCbCrPositioning = 0x0213;
constexpr uint16_t kUnitNone = 1;
constexpr uint16_t kCentred = 1;
constexpr uint16_t kRationalBytes = 8;
constexpr uint16_t kMinimalRationalAt = 74;
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
    bool Open() { return OpenHeader() && Locate(U32(4), ifd0_); }

    // The byte-order mark and the magic number.
    bool OpenHeader() {
        if (size_ < kHeaderBytes) return false;
        if (b_[0] == 'I' && b_[1] == 'I') {
            little_ = true;
        } else if (b_[0] == 'M' && b_[1] == 'M') {
            little_ = false;
        } else {
            return false;
        }
        return U16(2) == kTiffMagic;
    }

    // IFD0's count and entry table inside the block, its next-IFD offset not necessarily.
    bool LocateIfd0Entries(Ifd& ifd) const { return Locate(U32(4), ifd, 0); }

    // Every entry of a known type has its data inside the block; unknown types are kept as they
    // are, never followed.
    bool EntriesInside(const Ifd& ifd) const {
        for (size_t i = 0; i < ifd.Count; ++i) {
            const size_t at = ifd.Entries + i * kEntryBytes;
            const uint16_t type = U16(at + 2);
            if (type >= sizeof kTypeBytes || kTypeBytes[type] == 0) continue;
            const uint64_t bytes = uint64_t(U32(at + 4)) * kTypeBytes[type];
            if (bytes > kInlineValueBytes && uint64_t(U32(at + 8)) + bytes > size_) return false;
        }
        return true;
    }

    // The IFD an entry of ifd points at, when there is such an entry: it must be a LONG or an IFD
    // of count 1 whose IFD lies inside the block, with every entry's data.
    bool LinkedIfdInside(const Ifd& ifd, uint16_t tag, Ifd* linked) const {
        const size_t entry = Find(ifd, tag);
        if (entry == 0) return true;
        const uint16_t type = U16(entry + 2);
        Ifd found;
        if ((type != kTypeLong && type != kTypeIfd) || U32(entry + 4) != 1 ||
            !Locate(U32(entry + 8), found) || !EntriesInside(found))
            return false;
        if (linked != nullptr) *linked = found;
        return true;
    }

    // An IFD whose count, entries and next-IFD offset all lie inside the block.
    bool Locate(uint64_t offset, Ifd& ifd, uint64_t nextOffsetBytes = kNextOffsetBytes) const {
        if (offset < kHeaderBytes || offset + kCountBytes > size_) return false;
        ifd.Count = U16(size_t(offset));
        ifd.Entries = size_t(offset) + kCountBytes;
        return uint64_t(ifd.Entries) + uint64_t(ifd.Count) * kEntryBytes + nextOffsetBytes <= size_;
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

    // The IFD's Orientation entry (IFD0's) when it is a SHORT of count 1, or 0.
    size_t OrientationEntry(const Ifd& ifd) const {
        const size_t entry = Find(ifd, kTagOrientation);
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

// True when both IFDs are there and their tables (count, entries, next-IFD offset) share a byte.
bool Overlap(const Ifd& a, const Ifd& b) {
    if (a.Entries == 0 || b.Entries == 0) return false;
    const size_t aEnd = a.Entries + size_t(a.Count) * kEntryBytes + kNextOffsetBytes;
    const size_t bEnd = b.Entries + size_t(b.Count) * kEntryBytes + kNextOffsetBytes;
    return a.Entries - kCountBytes < bEnd && b.Entries - kCountBytes < aEnd;
}

// Opens the block and finds the Exif IFD and IFD0's entry that points to it; false when either is
// not there.
bool OpenExifIfd(TiffView& view, Ifd& exif, size_t& pointer) {
    if (!view.Open()) return false;
    pointer = view.Find(view.Ifd0(), kTagExifIfd);
    uint32_t offset = 0;
    return pointer != 0 && view.Number(pointer, offset) && view.Locate(offset, exif);
}

void PutU16(uint8_t* at, uint16_t value, bool little) {
    at[little ? 0 : 1] = uint8_t(value);
    at[little ? 1 : 0] = uint8_t(value >> 8);
}

void PutU32(uint8_t* at, uint32_t value, bool little) {
    PutU16(at + (little ? 0 : 2), uint16_t(value), little);
    PutU16(at + (little ? 2 : 0), uint16_t(value >> 16), little);
}

}  // namespace

ExifCheck CheckExif(const std::vector<uint8_t>& tiff) {
    ExifCheck check;
    TiffView view(tiff.data(), tiff.size());
    Ifd ifd0;
    if (!view.OpenHeader() || !view.LocateIfd0Entries(ifd0)) return check;
    const size_t entry = view.OrientationEntry(ifd0);
    uint32_t value = 0;
    if (entry != 0 && view.Number(entry, value) && value >= 1 && value <= kMaxOrientation)
        check.Orientation = uint16_t(value);
    Ifd exif, gps, interop;
    const bool inside =
        view.Open() && view.EntriesInside(ifd0) && view.LinkedIfdInside(ifd0, kTagExifIfd, &exif) &&
        view.LinkedIfdInside(ifd0, kTagGpsIfd, &gps) && view.LinkedIfdInside(exif, kTagInteropIfd, &interop);
    // The edits of a block written out (IFD0's next offset, the Orientation, the pixel dimensions)
    // each stay in one IFD, so they can break no other.
    const Ifd ifds[] = {ifd0, exif, gps, interop};
    bool apart = true;
    for (size_t i = 0; i < std::size(ifds); ++i) {
        for (size_t j = i + 1; j < std::size(ifds); ++j) apart = apart && !Overlap(ifds[i], ifds[j]);
    }
    check.Whole = inside && apart;
    return check;
}

std::vector<uint8_t> MinimalExif(uint16_t orientation) {
    // IFD0 holds the Orientation and the tags EXIF requires of every IFD0 in a JPEG, with no
    // resolution of its own (unit none, 1:1): the container's says it. Little-endian, no next IFD.
    struct Entry {
        uint16_t Tag, Type, Value;
    };
    const Entry entries[] = {{kTagOrientation, kTypeShort, orientation},
                             {kTagXResolution, kTypeRational, kMinimalRationalAt},
                             {kTagYResolution, kTypeRational, kMinimalRationalAt + kRationalBytes},
                             {kTagResolutionUnit, kTypeShort, kUnitNone},
                             {kTagYCbCrPositioning, kTypeShort, kCentred}};
    constexpr uint16_t kCount = sizeof entries / sizeof entries[0];
    static_assert(kMinimalRationalAt == kHeaderBytes + kCountBytes + kCount * kEntryBytes + kNextOffsetBytes,
                  "the two rationals, 1/1 each, follow IFD0");
    std::vector<uint8_t> tiff(kMinimalRationalAt + 2 * kRationalBytes, 0);
    const uint8_t header[] = {'I', 'I', uint8_t(kTiffMagic), 0, uint8_t(kHeaderBytes), 0, 0, 0};
    std::copy(header, header + kHeaderBytes, tiff.begin());
    PutU16LE(&tiff[kHeaderBytes], kCount);
    for (uint16_t i = 0; i < kCount; ++i) {
        uint8_t* entry = &tiff[kHeaderBytes + kCountBytes + i * kEntryBytes];
        PutU16LE(entry, entries[i].Tag);
        PutU16LE(entry + 2, entries[i].Type);
        PutU32LE(entry + 4, 1);
        PutU32LE(entry + 8, entries[i].Value);
    }
    for (size_t at = kMinimalRationalAt; at < tiff.size(); at += 4) PutU32LE(&tiff[at], 1);
    return tiff;
}

void PrepareExifForOutput(std::vector<uint8_t>& tiff, uint16_t orientation) {
    TiffView view(tiff.data(), tiff.size());
    if (!view.Open()) return;
    const size_t next = view.NextIfdOffsetAt();
    std::fill(tiff.begin() + long(next), tiff.begin() + long(next + kNextOffsetBytes), uint8_t(0));
    const size_t entry = view.OrientationEntry(view.Ifd0());
    if (orientation != 0 && entry != 0) PutU16(tiff.data() + entry + 8, orientation, view.Little());
}

void SwapExifPixelDimensions(std::vector<uint8_t>& tiff) {
    TiffView view(tiff.data(), tiff.size());
    Ifd exif;
    size_t pointer = 0;
    if (!OpenExifIfd(view, exif, pointer)) return;
    const size_t x = view.Find(exif, kTagPixelX);
    const size_t y = view.Find(exif, kTagPixelY);
    uint32_t value = 0;
    if (x == 0 || y == 0 || !view.Number(x, value) || !view.Number(y, value)) return;
    std::swap_ranges(tiff.begin() + long(x + kEntryValueStart), tiff.begin() + long(x + kEntryBytes),
                     tiff.begin() + long(y + kEntryValueStart));
}

void SetExifPixelDimensions(std::vector<uint8_t>& tiff, uint32_t width, uint32_t height) {
    TiffView view(tiff.data(), tiff.size());
    Ifd exif;
    size_t pointer = 0;
    if (!OpenExifIfd(view, exif, pointer)) return;
    const bool little = view.Little();
    for (const auto& [tag, size] : {std::pair{kTagPixelX, width}, {kTagPixelY, height}}) {
        const size_t entry = view.Find(exif, tag);
        uint32_t value = 0;
        if (entry == 0 || !view.Number(entry, value)) continue;
        // A LONG holds any size, and a SHORT's value lay in the same four bytes.
        PutU16(tiff.data() + entry + 2, kTypeLong, little);
        PutU32(tiff.data() + entry + 8, size, little);
    }
}

void AddExifPixelDimensions(std::vector<uint8_t>& tiff, uint32_t width, uint32_t height, size_t most) {
    TiffView view(tiff.data(), tiff.size());
    Ifd exif;
    size_t pointer = 0;
    if (!OpenExifIfd(view, exif, pointer)) return;
    const bool hasX = view.Find(exif, kTagPixelX) != 0;
    const bool hasY = view.Find(exif, kTagPixelY) != 0;
    const size_t added = size_t(!hasX) + size_t(!hasY);
    // The IFD grows, so it moves to the end of the block (at an even offset), entries in tag order.
    const size_t at = (tiff.size() + 1) / 2 * 2;
    const size_t bytes = kCountBytes + (size_t(exif.Count) + added) * kEntryBytes + kNextOffsetBytes;
    if (added == 0 || exif.Count + added > 0xFFFF || at + bytes > most || at > UINT32_MAX) return;
    const bool little = view.Little();
    std::vector<std::array<uint8_t, kEntryBytes>> entries(exif.Count);
    for (size_t i = 0; i < exif.Count; ++i)
        std::copy_n(tiff.begin() + long(exif.Entries + i * kEntryBytes), kEntryBytes, entries[i].begin());
    for (const auto& [tag, value, missing] :
         {std::tuple{kTagPixelX, width, !hasX}, {kTagPixelY, height, !hasY}}) {
        if (!missing) continue;
        std::array<uint8_t, kEntryBytes> entry{};
        PutU16(entry.data(), tag, little);
        PutU16(entry.data() + 2, kTypeLong, little);
        PutU32(entry.data() + 4, 1, little);
        PutU32(entry.data() + 8, value, little);
        entries.push_back(entry);
    }
    const auto tagOf = [little](const std::array<uint8_t, kEntryBytes>& e) {
        return little ? GetU16LE(e.data()) : GetU16BE(e.data());
    };
    std::stable_sort(entries.begin(), entries.end(),
                     [&](const auto& a, const auto& b) { return tagOf(a) < tagOf(b); });
    const uint32_t next = view.U32(exif.Entries + size_t(exif.Count) * kEntryBytes);
    tiff.resize(at + bytes, 0);
    PutU16(tiff.data() + at, uint16_t(entries.size()), little);
    for (size_t i = 0; i < entries.size(); ++i)
        std::copy(entries[i].begin(), entries[i].end(),
                  tiff.begin() + long(at + kCountBytes + i * kEntryBytes));
    PutU32(tiff.data() + at + bytes - kNextOffsetBytes, next, little);
    PutU32(tiff.data() + pointer + 8, uint32_t(at), little);
}

void MarkExifSrgb(std::vector<uint8_t>& tiff) {
    TiffView view(tiff.data(), tiff.size());
    Ifd exif;
    size_t pointer = 0;
    if (!OpenExifIfd(view, exif, pointer)) return;
    uint32_t value = 0;
    const size_t space = view.Find(exif, kTagColourSpace);
    if (space != 0 && view.U16(space + 2) == kTypeShort && view.Number(space, value))
        PutU16(tiff.data() + space + 8, kColourSpaceSrgb, view.Little());
    Ifd interop;
    if (!view.LinkedIfdInside(exif, kTagInteropIfd, &interop) || interop.Entries == 0) return;
    const size_t index = view.Find(interop, kTagInteropIndex);
    // Four ASCII bytes lie in the entry itself.
    if (index == 0 || view.U16(index + 2) != kTypeAscii || view.U32(index + 4) != 4) return;
    uint8_t* text = tiff.data() + index + 8;
    if (text[0] == 'R' && text[1] == '0' && text[2] == '3') std::copy_n("R98", 3, text);
}
