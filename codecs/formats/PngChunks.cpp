// The PNG chunk walk: lengths checked against the bytes left before anything is taken, checksums
// of the chunks the decoder never sees checked here, and inflating stopped at what is kept.
#include "PngChunks.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "ByteOrder.h"
#include "ByteSource.h"
#include "Descriptions.h"
#include "PictureWarnings.h"

namespace {

constexpr size_t kSignatureBytes = 8;
constexpr size_t kChunkHeadBytes = 8;
constexpr size_t kChecksumBytes = 4;
// A chunk longer than this is damage (the format's own bound).
constexpr uint32_t kMaxChunkBytes = 0x7FFFFFFF;
constexpr uint8_t kAncillaryBit = 0x20;
constexpr size_t kHeaderColourTypeAt = 9;
constexpr uint8_t kGreyAlpha = 4;
constexpr uint8_t kTrueColourAlpha = 6;
constexpr size_t kPhysBytes = 9;
constexpr uint8_t kUnitMetre = 1;
constexpr char kXmpKeyword[] = "XML:com.adobe.xmp";
constexpr size_t kInflateStep = size_t(64) << 10;
constexpr size_t kCheckStep = size_t(16) << 10;

bool IsType(const PngChunk& chunk, const char* name) {
    return std::memcmp(chunk.Type, name, 4) == 0;
}

bool IsText(const uint8_t* type) {
    return std::memcmp(type, "tEXt", 4) == 0 || std::memcmp(type, "zTXt", 4) == 0 ||
           std::memcmp(type, "iTXt", 4) == 0;
}

// What the decoder must see: the critical chunks and the transparency of the pixels.
bool ForDecoder(const uint8_t* type) {
    return (type[0] & kAncillaryBit) == 0 || std::memcmp(type, "tRNS", 4) == 0;
}

// Chunks the decoder reads whose presence or contents say something of the picture.
bool Described(const uint8_t* type) {
    return std::memcmp(type, "IHDR", 4) == 0 || std::memcmp(type, "tRNS", 4) == 0;
}

// The chunks whose contents are read besides text; any other chunk is only checked, a block at a
// time, so a large chunk costs no memory. The XMP packet's iTXt is read whole, known by the keyword
// its first bytes hold (the keyword and its zero); other text up to kHeldTextMax in all.
bool Held(const uint8_t* type) {
    static const char* const kHeld[] = {"IHDR", "tRNS", "acTL", "pHYs", "iCCP", "eXIf"};
    for (const char* held : kHeld)
        if (std::memcmp(type, held, 4) == 0) return true;
    return false;
}

// zlib takes a null body for a request of the starting value, whatever the size: an empty body
// adds nothing.
uint32_t ChecksumOf(const uint8_t* type, const uint8_t* body, uint32_t size) {
    const uLong head = crc32(0, type, 4);
    return uint32_t(size == 0 ? head : crc32(head, body, size));
}

// The checksum of a chunk whose type and first bytes gave sum, over the size bytes still to come.
bool ChecksumWhileSkipping(ByteSource& in, uLong sum, uint32_t size, uint32_t& crc) {
    uint8_t block[kCheckStep];
    for (uint32_t left = size; left != 0;) {
        const uint32_t n = std::min<uint32_t>(left, sizeof block);
        if (!in.Bytes(block, n)) return false;
        sum = crc32(sum, block, n);
        left -= n;
    }
    crc = uint32_t(sum);
    return true;
}

bool Mismatch(const PngChunk& chunk, std::string& reason) {
    reason = std::string("CRC mismatch in the ") + chunk.Type + " chunk";
    return false;
}

void AddRange(PngChunkList& chunks, uint64_t offset, uint64_t length) {
    if (!chunks.ForDecoder.empty()) {
        PngChunkList::Range& last = chunks.ForDecoder.back();
        if (last.Offset + last.Length == offset) {
            last.Length += length;
            return;
        }
    }
    chunks.ForDecoder.push_back({offset, length});
}

enum class Inflated { Whole, TooLarge, Damaged };

// A whole zlib stream into out, at most most bytes.
Inflated Inflate(const uint8_t* data, size_t size, size_t most, std::vector<uint8_t>& out) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return Inflated::Damaged;
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = uInt(std::min<size_t>(size, std::numeric_limits<uInt>::max()));
    int status = Z_OK;
    // One byte of room past the most: a stream that fills it is too large.
    while (status == Z_OK && out.size() <= most) {
        const size_t have = out.size();
        out.resize(have + std::min(kInflateStep, most + 1 - have));
        z.next_out = out.data() + have;
        z.avail_out = uInt(out.size() - have);
        status = inflate(&z, Z_NO_FLUSH);
        out.resize(out.size() - z.avail_out);
        if (status == Z_BUF_ERROR && z.avail_out != 0) break;  // the input ended early
        if (status == Z_BUF_ERROR) status = Z_OK;
    }
    inflateEnd(&z);
    if (status == Z_STREAM_END && out.size() <= most) return Inflated::Whole;
    out.clear();
    return status == Z_OK ? Inflated::TooLarge : Inflated::Damaged;
}

// A zero-ended name of 1 to 79 bytes at the start of the chunk; its length, or 0.
size_t KeywordLength(const uint8_t* body, size_t size) {
    const void* end = std::memchr(body, 0, std::min<size_t>(size, 80));
    return end ? size_t(static_cast<const uint8_t*>(end) - body) : 0;
}

bool IsXmpChunk(const PngChunk& chunk) {
    return IsType(chunk, "iTXt") &&
           KeywordLength(chunk.Body.data(), chunk.Body.size()) == sizeof kXmpKeyword - 1 &&
           std::memcmp(chunk.Body.data(), kXmpKeyword, sizeof kXmpKeyword - 1) == 0;
}

void TakeIcc(const PngChunk& chunk, PictureMetadata& metadata, std::vector<std::string>& warnings) {
    const size_t name = KeywordLength(chunk.Body.data(), chunk.Body.size());
    std::vector<uint8_t> profile;
    Inflated inflated = Inflated::Damaged;
    const uint8_t* body = chunk.Body.data();
    const size_t size = chunk.Body.size();
    if (name != 0 && name + 2 <= size && body[name + 1] == 0)
        inflated = Inflate(body + name + 2, size - name - 2, kKeptProfileMax, profile);
    if (inflated == Inflated::Whole) {
        metadata.IccProfile = std::move(profile);
    } else {
        warnings.push_back(inflated == Inflated::TooLarge
                               ? warning::ItemTooLarge("a colour profile", kKeptProfileMax)
                               : warning::kDamagedProfile);
    }
}

// iTXt: keyword, compression flag and method, language, translated keyword, then the text.
void TakeXmp(const PngChunk& chunk, PictureMetadata& metadata, std::vector<std::string>& warnings) {
    const uint8_t* end = chunk.Body.data() + chunk.Body.size();
    const uint8_t* p = chunk.Body.data() + sizeof kXmpKeyword;  // past the keyword and its zero
    bool ok = end - p >= 2;
    const uint8_t compressed = ok ? p[0] : 0;
    const uint8_t method = ok ? p[1] : 0;
    if (ok) p += 2;
    for (int field = 0; ok && field < 2; ++field) {
        const void* zero = std::memchr(p, 0, size_t(end - p));
        ok = zero != nullptr;
        if (ok) p = static_cast<const uint8_t*>(zero) + 1;
    }
    std::vector<uint8_t> text;
    Inflated inflated = Inflated::Damaged;
    if (ok && compressed == 0) {
        text.assign(p, end);
        inflated = Inflated::Whole;
    } else if (ok && compressed == 1 && method == 0) {
        inflated = Inflate(p, size_t(end - p), kKeptXmpMax, text);
    }
    if (inflated == Inflated::Whole) {
        metadata.Xmp = std::move(text);
    } else {
        warnings.push_back(inflated == Inflated::TooLarge
                               ? warning::ItemTooLarge("an XMP packet", kKeptXmpMax)
                               : warning::kDamagedXmp);
    }
}

void TakePhys(const PngChunk& chunk, PngExtras& extras) {
    if (chunk.Body.size() != kPhysBytes || chunk.Body[8] != kUnitMetre) return;
    const uint32_t x = GetU32BE(chunk.Body.data());
    const uint32_t y = GetU32BE(chunk.Body.data() + 4);
    if (x == 0 || y == 0 || x > uint32_t(INT32_MAX) || y > uint32_t(INT32_MAX)) return;
    extras.XPixelsPerMetre = int32_t(x);
    extras.YPixelsPerMetre = int32_t(y);
}

// The descriptions read so far: what they come to, the items past kKeptDescriptionsMax, the chunks
// that could not be read.
struct TextIntake {
    size_t Bytes = 0;
    size_t PastLimit = 0;
    size_t Damaged = 0;
};

// The text after a keyword: tEXt's as it is, zTXt's inflated (method 0, the only one), iTXt's
// after its compression flag and method, language and translated keyword, inflated where the flag
// says. At most most bytes are inflated: a stream past them is TooLarge.
Inflated ChunkText(const PngChunk& chunk, size_t at, size_t most, std::vector<uint8_t>& text) {
    const uint8_t* p = chunk.Body.data() + at;
    const uint8_t* end = chunk.Body.data() + chunk.Body.size();
    bool compressed = IsType(chunk, "zTXt");
    if (compressed && (p == end || *p++ != 0)) return Inflated::Damaged;
    if (IsType(chunk, "iTXt")) {
        if (end - p < 2 || p[0] > 1 || (p[0] == 1 && p[1] != 0)) return Inflated::Damaged;
        compressed = p[0] == 1;
        p += 2;
        for (int field = 0; field < 2; ++field) {
            const void* zero = std::memchr(p, 0, size_t(end - p));
            if (zero == nullptr) return Inflated::Damaged;
            p = static_cast<const uint8_t*>(zero) + 1;
        }
    }
    if (compressed) return Inflate(p, size_t(end - p), most, text);
    text.assign(p, end);
    return Inflated::Whole;
}

// A text chunk other than XMP, as a description, while they fit in kKeptDescriptionsMax: from the
// first that does not, every later one is past it too, so the last are the ones left out.
void TakeText(const PngChunk& chunk, PictureMetadata& metadata, TextIntake& intake) {
    if (intake.PastLimit != 0) {
        ++intake.PastLimit;
        return;
    }
    const uint8_t* body = chunk.Body.data();
    const size_t name = KeywordLength(body, chunk.Body.size());
    const std::string keyword(reinterpret_cast<const char*>(body), name);
    if (name == 0 || !IsPngKeyword(keyword)) {
        ++intake.Damaged;
        return;
    }
    // XMP in a chunk of another kind, or cut short: not a description.
    if (keyword == kXmpKeyword) return;
    PictureText item{Latin1ToUtf8(body, name), std::string()};
    const size_t room = kKeptDescriptionsMax - intake.Bytes;
    std::vector<uint8_t> bytes;
    const Inflated inflated = item.Keyword.size() > room
                                  ? Inflated::TooLarge
                                  : ChunkText(chunk, name + 1, room - item.Keyword.size(), bytes);
    if (inflated == Inflated::Damaged) {
        ++intake.Damaged;
        return;
    }
    if (inflated == Inflated::Whole) item.Text = TextFromBytes(bytes.data(), bytes.size());
    if (inflated == Inflated::TooLarge || DescriptionBytes(item) > room) {
        intake.PastLimit = 1;
        return;
    }
    if (item.Text.empty()) return;
    intake.Bytes += DescriptionBytes(item);
    metadata.Descriptions.push_back(std::move(item));
}

// Each item once: a second of the kind is said and left out, the first stays.
struct Seen {
    bool Icc = false;
    bool Exif = false;
    bool Xmp = false;
};

// The first of a kind is taken, a second is said and left out.
bool FirstOfKind(bool& seen, const char* second, std::vector<std::string>& warnings) {
    if (seen) warnings.push_back(second);
    const bool first = !seen;
    seen = true;
    return first;
}

}  // namespace

bool WalkPngChunks(ByteSource& in, PngChunkList& chunks, std::string& reason) {
    const uint64_t length = in.Size();
    if (!in.Skip(std::min<uint64_t>(length, kSignatureBytes))) return true;
    AddRange(chunks, 0, in.Position());
    size_t heldText = 0;
    while (in.Remaining() != 0) {
        const uint64_t at = in.Position();
        uint8_t head[kChunkHeadBytes];
        const uint32_t size = in.Bytes(head, sizeof head) ? GetU32BE(head) : UINT32_MAX;
        if (size > kMaxChunkBytes || uint64_t(size) + kChecksumBytes > in.Remaining()) {
            // A chunk that does not fit: the decoder sees the file from here as it is, and says why.
            AddRange(chunks, at, length - at);
            return true;
        }
        const uint8_t* type = head + 4;
        const bool decoder = ForDecoder(type);
        if (decoder) AddRange(chunks, at, kChunkHeadBytes + uint64_t(size) + kChecksumBytes);
        PngChunk chunk;
        std::memcpy(chunk.Type, type, 4);
        uint8_t checksum[kChecksumBytes];
        bool read = true;
        bool keep = true;
        if (decoder && !Described(type)) {
            read = in.Skip(uint64_t(size) + kChecksumBytes);
        } else {
            uint8_t start[sizeof kXmpKeyword];
            const bool text = IsType(chunk, "iTXt");
            const uint32_t first = text ? std::min<uint32_t>(size, sizeof start) : 0;
            read = first == 0 || in.Bytes(start, first);
            const bool xmp = text && first == sizeof start && std::memcmp(start, kXmpKeyword, first) == 0;
            bool described = IsText(type) && !xmp;
            if (described && (chunks.TextPassedOver != 0 || heldText + size > kHeldTextMax)) {
                ++chunks.TextPassedOver;
                described = false;
            }
            if (described) heldText += size;
            keep = Held(type) || xmp || described;
            if (read && keep) {
                chunk.Body.resize(size);
                std::copy_n(start, first, chunk.Body.begin());
                read = (size == first || in.Bytes(chunk.Body.data() + first, size - first)) &&
                       in.Bytes(checksum, sizeof checksum);
                if (read && !decoder && ChecksumOf(type, chunk.Body.data(), size) != GetU32BE(checksum))
                    return Mismatch(chunk, reason);
            } else if (read) {
                uint32_t crc = 0;
                read = ChecksumWhileSkipping(in, crc32(crc32(0, type, 4), start, first), size - first, crc) &&
                       in.Bytes(checksum, sizeof checksum);
                if (read && crc != GetU32BE(checksum)) return Mismatch(chunk, reason);
            }
        }
        // A file that shrank after it was opened ends here; the decoder finds it short.
        if (!read) return true;
        if (keep && (!decoder || Described(type))) chunks.Others.push_back(std::move(chunk));
        if (std::memcmp(type, "IEND", 4) == 0) break;
    }
    return true;
}

void ReadPngMetadata(const PngChunkList& chunks, PictureMetadata& metadata, PngExtras& extras,
                     std::vector<std::string>& warnings) {
    Seen seen;
    TextIntake text;
    for (const PngChunk& chunk : chunks.Others) {
        if (IsType(chunk, "IHDR") && chunk.Body.size() > kHeaderColourTypeAt) {
            const uint8_t colour = chunk.Body[kHeaderColourTypeAt];
            extras.Transparent = extras.Transparent || colour == kGreyAlpha || colour == kTrueColourAlpha;
        } else if (IsType(chunk, "tRNS")) {
            extras.Transparent = true;
        } else if (IsType(chunk, "acTL")) {
            extras.Animated = true;
        } else if (IsType(chunk, "pHYs")) {
            TakePhys(chunk, extras);
        } else if (IsType(chunk, "iCCP")) {
            if (FirstOfKind(seen.Icc, warning::kSecondProfile, warnings)) TakeIcc(chunk, metadata, warnings);
        } else if (IsType(chunk, "eXIf")) {
            if (FirstOfKind(seen.Exif, warning::kSecondExif, warnings)) metadata.Exif = chunk.Body;
        } else if (IsXmpChunk(chunk)) {
            if (FirstOfKind(seen.Xmp, warning::kSecondXmp, warnings)) TakeXmp(chunk, metadata, warnings);
        } else if (IsText(reinterpret_cast<const uint8_t*>(chunk.Type))) {
            TakeText(chunk, metadata, text);
        }
    }
    if (text.Damaged != 0) warnings.push_back(warning::DamagedTextChunks(text.Damaged));
    const size_t pastLimit = text.PastLimit + chunks.TextPassedOver;
    if (pastLimit != 0) warnings.push_back(warning::DescriptionsPastLimit(pastLimit, kKeptDescriptionsMax));
}
