// Our own walk of the PNG chunk list for iCCP, eXIf, iTXt XMP, pHYs, tRNS and acTL. Lengths are
// checked against the bytes left before anything is taken, and inflating stops at a cap.
#include "PngChunks.h"

#include <zlib.h>

#include <cstring>
#include <limits>

#include "ByteReader.h"
#include "Exif.h"
#include "JpegSegments.h"

namespace {

constexpr size_t kSignatureBytes = 8;
constexpr size_t kChecksumBytes = 4;
constexpr size_t kHeaderColourTypeAt = 9;
constexpr uint8_t kGreyAlpha = 4;
constexpr uint8_t kTrueColourAlpha = 6;
constexpr size_t kPhysBytes = 9;
constexpr uint8_t kUnitMetre = 1;
constexpr char kXmpKeyword[] = "XML:com.adobe.xmp";
constexpr size_t kInflateStep = size_t(64) << 10;

bool IsType(const uint8_t* type, const char* name) {
    return std::memcmp(type, name, 4) == 0;
}

// A whole zlib stream into out, at most cap bytes; false for a broken or longer stream.
bool Inflate(const uint8_t* data, size_t size, size_t cap, std::vector<uint8_t>& out) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return false;
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = uInt(std::min<size_t>(size, std::numeric_limits<uInt>::max()));
    int status = Z_OK;
    while (status == Z_OK) {
        const size_t have = out.size();
        if (have >= cap) break;
        out.resize(have + std::min(kInflateStep, cap - have));
        z.next_out = out.data() + have;
        z.avail_out = uInt(out.size() - have);
        status = inflate(&z, Z_NO_FLUSH);
        out.resize(out.size() - z.avail_out);
        if (status == Z_BUF_ERROR && z.avail_out != 0) break;  // the input ended early
        if (status == Z_BUF_ERROR) status = Z_OK;
    }
    inflateEnd(&z);
    if (status != Z_STREAM_END) out.clear();
    return status == Z_STREAM_END;
}

// A zero-ended name of 1 to 79 bytes at the start of the chunk; its length, or 0.
size_t KeywordLength(const uint8_t* body, size_t size) {
    const void* end = std::memchr(body, 0, std::min<size_t>(size, 80));
    const size_t length = end ? size_t(static_cast<const uint8_t*>(end) - body) : 0;
    return length;
}

// Each item once: a second of the kind is said and left out, the first stays.
struct Seen {
    bool Icc = false;
    bool Exif = false;
    bool Xmp = false;
};

void TakeIcc(const uint8_t* body, size_t size, PictureMetadata& metadata,
             std::vector<std::string>& warnings) {
    const size_t name = KeywordLength(body, size);
    std::vector<uint8_t> profile;
    if (name == 0 || name + 2 > size || body[name + 1] != 0 ||
        !Inflate(body + name + 2, size - name - 2, kIccProfileMax, profile)) {
        warnings.push_back("has a damaged colour profile (iCCP), or one over 16 MB; it is not kept.");
        return;
    }
    metadata.IccProfile = std::move(profile);
}

void TakeExif(const uint8_t* body, size_t size, PictureMetadata& metadata,
              std::vector<std::string>& warnings) {
    std::vector<uint8_t> exif(body, body + size);
    if (!ReadExifOrientation(exif, metadata.Orientation)) {
        warnings.push_back("has a damaged EXIF block (not TIFF, or an offset past its end); it is not kept.");
        return;
    }
    metadata.Exif = std::move(exif);
}

// iTXt: keyword, compression flag and method, language, translated keyword, then the text.
bool TakeXmp(const uint8_t* body, size_t size, PictureMetadata& metadata,
             std::vector<std::string>& warnings) {
    const size_t keyword = KeywordLength(body, size);
    if (keyword != sizeof kXmpKeyword - 1 || std::memcmp(body, kXmpKeyword, keyword) != 0) return false;
    ByteReader in(body, size);
    uint8_t compressed = 0;
    uint8_t method = 0;
    bool ok = in.Skip(keyword + 1) && in.U8(compressed) && in.U8(method);
    for (int field = 0; ok && field < 2; ++field) {
        const void* end = std::memchr(in.Current(), 0, in.Remaining());
        ok = end != nullptr && in.Skip(size_t(static_cast<const uint8_t*>(end) - in.Current()) + 1);
    }
    std::vector<uint8_t> text;
    if (ok && compressed == 0) {
        text.assign(in.Current(), in.Current() + in.Remaining());
    } else if (ok) {
        ok = compressed == 1 && method == 0 && Inflate(in.Current(), in.Remaining(), kIccProfileMax, text);
    }
    if (!ok) {
        warnings.push_back("has a damaged XMP packet (iTXt); it is not kept.");
        return true;
    }
    metadata.Xmp = std::move(text);
    return true;
}

void TakePhys(const uint8_t* body, size_t size, PngExtras& extras) {
    if (size != kPhysBytes || body[8] != kUnitMetre) return;
    const uint32_t x = GetU32BE(body);
    const uint32_t y = GetU32BE(body + 4);
    if (x == 0 || y == 0 || x > uint32_t(INT32_MAX) || y > uint32_t(INT32_MAX)) return;
    extras.XPixelsPerMetre = int32_t(x);
    extras.YPixelsPerMetre = int32_t(y);
}

void TakeChunk(const uint8_t* type, const uint8_t* body, size_t size, PictureMetadata& metadata,
               PngExtras& extras, Seen& seen, std::vector<std::string>& warnings) {
    if (IsType(type, "IHDR") && size > kHeaderColourTypeAt) {
        const uint8_t colour = body[kHeaderColourTypeAt];
        extras.Transparent = extras.Transparent || colour == kGreyAlpha || colour == kTrueColourAlpha;
    } else if (IsType(type, "tRNS")) {
        extras.Transparent = true;
    } else if (IsType(type, "acTL")) {
        extras.Animated = true;
    } else if (IsType(type, "pHYs")) {
        TakePhys(body, size, extras);
    } else if (IsType(type, "iCCP")) {
        if (seen.Icc) {
            warnings.push_back("has a second colour profile (iCCP), which is not kept.");
        } else {
            TakeIcc(body, size, metadata, warnings);
        }
        seen.Icc = true;
    } else if (IsType(type, "eXIf")) {
        if (seen.Exif) {
            warnings.push_back("has a second EXIF block (eXIf), which is not kept.");
        } else {
            TakeExif(body, size, metadata, warnings);
        }
        seen.Exif = true;
    } else if (IsType(type, "iTXt")) {
        if (!seen.Xmp) {
            seen.Xmp = TakeXmp(body, size, metadata, warnings);
        } else if (KeywordLength(body, size) == sizeof kXmpKeyword - 1 &&
                   std::memcmp(body, kXmpKeyword, sizeof kXmpKeyword - 1) == 0) {
            warnings.push_back("has a second XMP packet (iTXt), which is not kept.");
        }
    }
}

}  // namespace

void ReadPngMetadata(const uint8_t* data, size_t length, PictureMetadata& metadata, PngExtras& extras,
                     std::vector<std::string>& warnings) {
    ByteReader in(data, length);
    if (!in.Skip(kSignatureBytes)) return;
    Seen seen;
    const uint8_t* head = nullptr;
    while (in.Take(8, head)) {
        const uint32_t size = GetU32BE(head);
        const uint8_t* body = nullptr;
        if (!in.Take(size, body) || !in.Skip(kChecksumBytes)) return;
        if (IsType(head + 4, "IEND")) return;
        TakeChunk(head + 4, body, size, metadata, extras, seen, warnings);
    }
}
