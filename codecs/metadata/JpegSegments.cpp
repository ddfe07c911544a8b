// The JPEG segment walk and the metadata segments: APP0 JFIF, APP1 EXIF and XMP, APP2 ICC chunks.
// Reading never trusts a length: each segment is taken through the bounds-checked reader.
#include "JpegSegments.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "ByteOrder.h"
#include "ByteSource.h"
#include "Descriptions.h"
#include "Exif.h"
#include "FileWriter.h"
#include "PictureWarnings.h"

namespace {

constexpr size_t kSoiLength = 2;
constexpr size_t kMarkerLength = 2;
constexpr size_t kSegmentLengthBytes = 2;
constexpr uint8_t kMarkerPrefix = 0xFF;
constexpr uint8_t kMarkerTem = 0x01;
constexpr uint8_t kMarkerRst0 = 0xD0;
constexpr uint8_t kMarkerRst7 = 0xD7;
constexpr uint8_t kMarkerEoi = 0xD9;
constexpr uint8_t kMarkerSos = 0xDA;
constexpr uint8_t kMarkerApp0 = 0xE0;
constexpr uint8_t kMarkerApp1 = 0xE1;
constexpr uint8_t kMarkerApp2 = 0xE2;
constexpr uint8_t kMarkerCom = 0xFE;

constexpr char kJfifTag[] = "JFIF";  // with its zero
constexpr size_t kJfifTagBytes = sizeof kJfifTag;
constexpr size_t kJfifUnitsAt = kJfifTagBytes + 2;
constexpr size_t kJfifBodyMin = kJfifUnitsAt + 5;
constexpr uint8_t kUnitsPerInch = 1;
constexpr uint8_t kUnitsPerCm = 2;
constexpr double kMetresPerInch = 0.0254;
constexpr int32_t kCmPerMetre = 100;

constexpr char kExifTag[] = "Exif\0";  // "Exif" and two zeros
constexpr size_t kExifTagBytes = sizeof kExifTag;
constexpr char kXmpTag[] = "http://ns.adobe.com/xap/1.0/";
constexpr size_t kXmpTagBytes = sizeof kXmpTag;
constexpr char kExtendedXmpTag[] = "http://ns.adobe.com/xmp/extension/";
constexpr size_t kExtendedXmpTagBytes = sizeof kExtendedXmpTag;
constexpr char kIccTag[] = "ICC_PROFILE";
constexpr size_t kIccTagBytes = sizeof kIccTag;
constexpr size_t kIccHeaderBytes = kIccTagBytes + 2;  // the tag, the chunk's number, the count
constexpr size_t kMaxIccChunks = 255;

bool StartsWith(const uint8_t* body, size_t size, const char* tag, size_t tagBytes) {
    return size >= tagBytes && std::memcmp(body, tag, tagBytes) == 0;
}

struct IccChunk {
    const uint8_t* Body;
    size_t Size;
};

// What the walk has found so far, before the checks that need every segment.
struct Found {
    std::vector<IccChunk> Icc;  // by number, 1 first; an empty body: not seen
    bool IccDamaged = false;
    uint8_t IccCount = 0;
    bool SecondExif = false;
    bool SecondXmp = false;
    bool ExtendedXmp = false;
};

void TakeIccChunk(const uint8_t* body, size_t size, Found& found) {
    if (found.IccDamaged) return;
    const uint8_t number = body[kIccTagBytes];
    const uint8_t count = body[kIccTagBytes + 1];
    if (found.Icc.empty()) {
        found.IccCount = count;
        found.Icc.assign(count, IccChunk{nullptr, 0});
    }
    // A count of 0, chunks that disagree on it, a number out of range, or one seen twice.
    if (count == 0 || count != found.IccCount || number == 0 || number > count ||
        found.Icc[number - 1].Body != nullptr) {
        found.IccDamaged = true;
        return;
    }
    found.Icc[number - 1] = IccChunk{body + kIccHeaderBytes, size - kIccHeaderBytes};
}

void TakeApp1(const uint8_t* body, size_t size, PictureMetadata& metadata, Found& found) {
    if (StartsWith(body, size, kExifTag, kExifTagBytes)) {
        if (!metadata.Exif.empty()) {
            found.SecondExif = true;
            return;
        }
        metadata.Exif.assign(body + kExifTagBytes, body + size);
    } else if (StartsWith(body, size, kXmpTag, kXmpTagBytes)) {
        if (!metadata.Xmp.empty()) {
            found.SecondXmp = true;
            return;
        }
        metadata.Xmp.assign(body + kXmpTagBytes, body + size);
    } else if (StartsWith(body, size, kExtendedXmpTag, kExtendedXmpTagBytes)) {
        found.ExtendedXmp = true;
    }
}

void AssembleIcc(const Found& found, PictureMetadata& metadata, std::vector<std::string>& warnings) {
    if (found.Icc.empty() && !found.IccDamaged) return;
    bool whole = !found.IccDamaged;
    for (const IccChunk& chunk : found.Icc) whole = whole && chunk.Body != nullptr;
    if (!whole) {
        warnings.push_back(warning::kDamagedProfileChunks);
        return;
    }
    for (const IccChunk& chunk : found.Icc)
        metadata.IccProfile.insert(metadata.IccProfile.end(), chunk.Body, chunk.Body + chunk.Size);
}

bool PutSegmentHead(FileWriter& out, uint8_t marker, size_t bodySize, const void* tag, size_t tagBytes) {
    const size_t length = kSegmentLengthBytes + tagBytes + bodySize;
    const uint8_t head[] = {kMarkerPrefix, marker, uint8_t(length >> 8), uint8_t(length)};
    return out.Write(head, sizeof head) && out.Write(tag, tagBytes);
}

bool PutIcc(FileWriter& out, const std::vector<uint8_t>& profile) {
    if (profile.empty() || profile.size() > kIccProfileMax) return true;
    const size_t count = (profile.size() + kIccChunkBodyMax - 1) / kIccChunkBodyMax;
    for (size_t i = 0; i < count; ++i) {
        const size_t at = i * kIccChunkBodyMax;
        const size_t size = std::min(kIccChunkBodyMax, profile.size() - at);
        uint8_t tag[kIccHeaderBytes];
        std::memcpy(tag, kIccTag, kIccTagBytes);
        tag[kIccTagBytes] = uint8_t(i + 1);
        tag[kIccTagBytes + 1] = uint8_t(count);
        if (!PutSegmentHead(out, kMarkerApp2, size, tag, sizeof tag) || !out.Write(profile.data() + at, size))
            return false;
    }
    return true;
}

bool PutApp1(FileWriter& out, const std::vector<uint8_t>& body, const char* tag, size_t tagBytes) {
    if (body.empty() || body.size() + tagBytes > kJpegSegmentBodyMax) return true;
    return PutSegmentHead(out, kMarkerApp1, body.size(), tag, tagBytes) &&
           out.Write(body.data(), body.size());
}

// A COM segment for each description and comment that fits one; the settling said which do not.
bool PutComments(FileWriter& out, const std::vector<PictureText>& descriptions) {
    for (const PictureText& text : descriptions) {
        if ((text.Keyword != keyword::kDescription && text.Keyword != keyword::kComment) ||
            text.Text.empty() || text.Text.size() > kJpegSegmentBodyMax)
            continue;
        if (!PutSegmentHead(out, kMarkerCom, text.Text.size(), "", 0) ||
            !out.Write(text.Text.data(), text.Text.size()))
            return false;
    }
    return true;
}

// The encoder's JFIF segment right after the start marker, where the density goes; 0 without one.
size_t JfifSegmentEnd(uint8_t* jpeg, size_t size) {
    if (size < kSoiLength + kMarkerLength + kSegmentLengthBytes + kJfifBodyMin) return 0;
    uint8_t* segment = jpeg + kSoiLength;
    const size_t length = size_t(segment[2]) << 8 | segment[3];
    const uint8_t* body = segment + kMarkerLength + kSegmentLengthBytes;
    if (segment[0] != kMarkerPrefix || segment[1] != kMarkerApp0 ||
        length < kSegmentLengthBytes + kJfifBodyMin || kSoiLength + kMarkerLength + length > size ||
        std::memcmp(body, kJfifTag, kJfifTagBytes) != 0)
        return 0;
    return kSoiLength + kMarkerLength + length;
}

// Dots per inch, rounded; 0 when the resolution is unknown or too fine for the 16-bit field.
uint16_t DpiFromPixelsPerMetre(int32_t ppm) {
    const double dpi = std::round(double(ppm) * kMetresPerInch);
    return ppm > 0 && dpi <= 65535 ? uint16_t(dpi) : 0;
}

void SetDensity(uint8_t* jpeg, int32_t xPpm, int32_t yPpm) {
    const uint16_t x = DpiFromPixelsPerMetre(xPpm);
    const uint16_t y = DpiFromPixelsPerMetre(yPpm);
    if (x == 0 || y == 0) return;
    uint8_t* units = jpeg + kSoiLength + kMarkerLength + kSegmentLengthBytes + kJfifUnitsAt;
    const uint8_t density[] = {kUnitsPerInch, uint8_t(x >> 8), uint8_t(x), uint8_t(y >> 8), uint8_t(y)};
    std::memcpy(units, density, sizeof density);
}

}  // namespace

void WalkJpegSegments(const uint8_t* data, size_t length,
                      const std::function<bool(uint8_t, const uint8_t*, size_t)>& visit) {
    ByteSource in(data, length);
    if (!in.Skip(kSoiLength)) return;
    while (in.Remaining() >= kMarkerLength + kSegmentLengthBytes) {
        const size_t at = in.Position();
        uint8_t prefix = 0;
        uint8_t marker = 0;
        in.U8(prefix);
        in.U8(marker);
        if (prefix != kMarkerPrefix || marker == kMarkerPrefix) {
            in.Seek(at + 1);  // stray or fill byte: the library skips these too
            continue;
        }
        if (marker == kMarkerSos || marker == kMarkerEoi) return;
        if (marker == kMarkerTem || (marker >= kMarkerRst0 && marker <= kMarkerRst7)) continue;
        uint16_t segment = 0;
        const uint8_t* body = nullptr;
        in.U16BE(segment);
        if (segment < kSegmentLengthBytes || !in.Take(segment - kSegmentLengthBytes, body)) return;
        if (!visit(marker, body, segment - kSegmentLengthBytes)) return;
    }
}

int32_t PixelsPerMetreFromJfif(uint8_t units, uint16_t density) {
    if (units == kUnitsPerInch) return int32_t(std::lround(density / kMetresPerInch));
    if (units == kUnitsPerCm) return int32_t(density) * kCmPerMetre;
    return 0;
}

void ReadJpegMetadata(const uint8_t* data, size_t length, PictureMetadata& metadata, int32_t& xPpm,
                      int32_t& yPpm, std::vector<std::string>& warnings) {
    Found found;
    bool jfifSeen = false;
    size_t commentBytes = 0, commentsPastLimit = 0;
    WalkJpegSegments(data, length, [&](uint8_t marker, const uint8_t* body, size_t size) {
        if (marker == kMarkerApp0 && !jfifSeen && size >= kJfifBodyMin &&
            StartsWith(body, size, kJfifTag, kJfifTagBytes)) {
            jfifSeen = true;
            const uint8_t units = body[kJfifUnitsAt];
            const int32_t x = PixelsPerMetreFromJfif(units, GetU16BE(body + kJfifUnitsAt + 1));
            const int32_t y = PixelsPerMetreFromJfif(units, GetU16BE(body + kJfifUnitsAt + 3));
            if (x > 0 && y > 0) {
                xPpm = x;
                yPpm = y;
            }
        } else if (marker == kMarkerApp1) {
            TakeApp1(body, size, metadata, found);
        } else if (marker == kMarkerApp2 && StartsWith(body, size, kIccTag, kIccTagBytes) &&
                   size >= kIccHeaderBytes) {
            TakeIccChunk(body, size, found);
        } else if (marker == kMarkerCom && commentsPastLimit != 0) {
            ++commentsPastLimit;
        } else if (marker == kMarkerCom) {
            // Comments are held while they fit what is kept: a file of nothing else costs no more.
            PictureText comment{keyword::kComment, TextFromBytes(body, size)};
            commentBytes += DescriptionBytes(comment);
            if (commentBytes > kKeptDescriptionsMax)
                commentsPastLimit = 1;
            else if (!comment.Text.empty())
                metadata.Descriptions.push_back(std::move(comment));
        }
        return true;
    });
    AssembleIcc(found, metadata, warnings);
    if (found.SecondExif) warnings.push_back(warning::kSecondExif);
    if (found.SecondXmp) warnings.push_back(warning::kSecondXmp);
    if (found.ExtendedXmp) warnings.push_back(warning::kExtendedXmp);
    if (commentsPastLimit != 0)
        warnings.push_back(warning::DescriptionsPastLimit(commentsPastLimit, kKeptDescriptionsMax));
}

bool WriteJpegWithMetadata(FileWriter& out, uint8_t* jpeg, size_t size, const PictureMetadata* metadata,
                           const PictureView& picture) {
    const int32_t xPpm = picture.XPixelsPerMetre, yPpm = picture.YPixelsPerMetre;
    size_t split = JfifSegmentEnd(jpeg, size);
    if (split != 0) SetDensity(jpeg, xPpm, yPpm);
    if (metadata == nullptr || (metadata->HoldsNoBlocks() && metadata->Descriptions.empty()))
        return out.Write(jpeg, size);
    if (split == 0) split = kSoiLength;
    std::vector<uint8_t> exif = metadata->Exif;
    PrepareExifForOutput(exif, metadata->Orientation);
    AddExifPixelDimensions(exif, uint32_t(picture.Width), uint32_t(picture.Height), kJpegExifMax);
    return out.Write(jpeg, split) && PutApp1(out, exif, kExifTag, kExifTagBytes) &&
           PutApp1(out, metadata->Xmp, kXmpTag, kXmpTagBytes) && PutIcc(out, metadata->IccProfile) &&
           PutComments(out, metadata->Descriptions) && out.Write(jpeg + split, size - split);
}
