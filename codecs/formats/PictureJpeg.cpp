// JPEG decoding through TurboJPEG into the sink, blue first: colour and grey pictures go straight
// into the held rows where the sink takes them in place (the 24-bit image's among them); CMYK and
// YCCK pictures, and those the held form does not take in place, pass through a scratch buffer,
// CMYK through our own conversion to colour.
#include <turbojpeg.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "ByteBlock.h"
#include "ColourToSrgb.h"
#include "ImageSize.h"
#include "JpegSegments.h"
#include "PictureBits.h"
#include "PictureDecoders.h"
#include "PictureWarnings.h"
#include "PixelLimit.h"
#include "TjHandle.h"

namespace {

constexpr size_t kCmykPixelBytes = 4;
constexpr uint32_t kCmykBits = 32;
constexpr uint32_t kGreyBits = 8;
constexpr uint32_t kFullChannel = 255;
// Rows bottom-up where memory holds them so (the 24-bit image's block), else top-down; the scan
// limit guards against progressive files with thousands of tiny scans.
constexpr int kBottomUpFlags = TJFLAG_BOTTOMUP | TJFLAG_LIMITSCANS;
constexpr int kTopDownFlags = TJFLAG_LIMITSCANS;

constexpr uint8_t kMarkerApp14 = 0xEE;
constexpr char kAdobeTag[] = "Adobe";
constexpr size_t kAdobeTagLength = sizeof(kAdobeTag) - 1;

// libjpeg's message when an allocation fails.
constexpr char kLibraryOutOfMemory[] = "Insufficient memory";
// libjpeg's words for valid files it does not decode (12-bit samples among them).
constexpr char kLibraryUnsupported[] = "Unsupported";
// libjpeg's words for a file that ends before its last scan, and for damaged entropy-coded data.
constexpr char kLibraryPrematureEnd[] = "Premature end";
constexpr char kLibraryCorruptData[] = "Corrupt JPEG data";
constexpr uint8_t kMarkerEoi = 0xD9;

constexpr uint8_t kSeedStart = 0x5A;
constexpr uint8_t kSeedStep = 0x3B;

struct JpegHeader {
    int width = 0;
    int height = 0;
    int colorspace = -1;
};

// Where one decompression writes: pitch bytes per row, and the row the decoder writes last.
struct DecodeTarget {
    uint8_t* pixels;
    int pitch;
    int pixelFormat;
    int flags;
    uint8_t* lastRow;
    size_t lastRowBytes;
};

// The library's own words for why it stopped; its memory failure is said as every reader says it.
bool Refuse(tjhandle tj, LoadResult& result) {
    const std::string reason = tjGetErrorStr2(tj);
    if (reason.find(kLibraryOutOfMemory) != std::string::npos)
        return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    const bool unread = reason.find(kLibraryUnsupported) != std::string::npos;
    return result.Refuse(unread ? LoadStatus::Unsupported : LoadStatus::Damaged, reason);
}

// A picture decoded to its last row despite a warning: damage the user should hear of. A file cut
// short (no end marker, or the library's own words for it) is said once, as such: the library
// also reports the cut as corrupt data. Corrupt data is said in the library's words. Its other
// warnings (an unknown JFIF revision, say) change nothing in the picture and stay silent.
void SayDamage(tjhandle tj, const uint8_t* data, size_t length, LoadResult& result) {
    const std::string words = tjGetErrorStr2(tj);
    const bool ended = length >= 2 && data[length - 2] == 0xFF && data[length - 1] == kMarkerEoi;
    if (!ended || words.find(kLibraryPrematureEnd) != std::string::npos) {
        result.Warnings.push_back(warning::kEndsEarlyGrey);
    } else if (words.find(kLibraryCorruptData) != std::string::npos) {
        result.Warnings.push_back(warning::DamagedData(words));
    }
}

bool ReadJpegHeader(tjhandle tj, const uint8_t* data, size_t length, JpegHeader& header) {
    int subsampling = 0;
    // TurboJPEG 2.1.5 fails this call for subsamplings it has no name for (4x1, 1x3 ...) after it has
    // filled in the size, and decodes such files well; so the size alone decides. A really broken
    // header leaves the size at zero.
    tjDecompressHeader3(tj, data, static_cast<unsigned long>(length), &header.width, &header.height,
                        &subsampling, &header.colorspace);
    return header.width > 0 && header.height > 0;
}

void SeedRow(uint8_t* row, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) row[i] = uint8_t(kSeedStart + i * kSeedStep);
}

bool RowStillSeeded(const uint8_t* row, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) {
        if (row[i] != uint8_t(kSeedStart + i * kSeedStep)) return false;
    }
    return true;
}

// Decision: a damaged JPEG that the library still decodes to its last row with only a warning (a
// truncated file, stray bytes before a marker) loads, with whatever the library made of the damage.
// A fatal error fails the load. TurboJPEG 2.1.5 reports a fatal error that follows a warning as a
// warning, so a warning counts only if the last row was written: the decoder writes it last and never
// reaches it when it breaks off, and the seed pattern put there first shows which case happened.
bool Decompress(tjhandle tj, const uint8_t* data, size_t length, const JpegHeader& header,
                const DecodeTarget& target, LoadResult& result) {
    SeedRow(target.lastRow, target.lastRowBytes);
    if (tjDecompress2(tj, data, static_cast<unsigned long>(length), target.pixels, header.width, target.pitch,
                      header.height, target.pixelFormat, target.flags) == 0) {
        return true;
    }
    if (tjGetErrorCode(tj) != TJERR_WARNING || RowStillSeeded(target.lastRow, target.lastRowBytes))
        return Refuse(tj, result);
    SayDamage(tj, data, length, result);
    return true;
}

// Photoshop stores CMYK inverted (0 is full ink) and marks its files with an Adobe APP14 segment;
// CMYK without that segment counts ink upward.
bool HasAdobeSegment(const uint8_t* data, size_t length) {
    bool found = false;
    WalkJpegSegments(data, length, [&found](uint8_t marker, const uint8_t* body, size_t size) {
        found = marker == kMarkerApp14 && size >= kAdobeTagLength &&
                std::memcmp(body, kAdobeTag, kAdobeTagLength) == 0;
        return !found;
    });
    return found;
}

// a * b / 255, rounded, for a and b in 0..255.
uint8_t MulDiv255(uint32_t a, uint32_t b) {
    const uint32_t product = a * b + 128;
    return uint8_t((product + (product >> 8)) >> 8);
}

// Naive subtractive model, without a colour profile: each channel is what its ink and the black
// ink leave of white.
void CmykRowToBgr(const uint8_t* cmyk, uint8_t* bgr, int width, bool inverted) {
    const uint32_t flip = inverted ? 0 : kFullChannel;
    for (int x = 0; x < width; ++x, cmyk += kCmykPixelBytes, bgr += kBgrPixelBytes) {
        const uint32_t white = flip ^ cmyk[3];
        bgr[0] = MulDiv255(flip ^ cmyk[2], white);
        bgr[1] = MulDiv255(flip ^ cmyk[1], white);
        bgr[2] = MulDiv255(flip ^ cmyk[0], white);
    }
}

// The held rows themselves. The library takes no negative pitch: rows that go up through memory
// are handed over from the lowest, bottom-up.
bool DecodeInPlace(tjhandle tj, const uint8_t* data, size_t length, const JpegHeader& header,
                   const PictureView& held, bool grey, RowSink& rows, LoadResult& result) {
    const bool up = held.Stride < 0;
    uint8_t* lastRow = held.Row(held.Height - 1);
    const DecodeTarget target{up ? lastRow : held.Top,
                              int(up ? -held.Stride : held.Stride),
                              grey ? TJPF_GRAY : TJPF_BGR,
                              up ? kBottomUpFlags : kTopDownFlags,
                              lastRow,
                              held.RowBytes()};
    if (!Decompress(tj, data, length, header, target, result)) return false;
    for (int32_t y = 0; y < header.height; ++y) rows.Put(y);
    return true;
}

// The file's own profile, for a CMYK picture converted through it; empty where it has none sound.
std::vector<uint8_t> ReadProfile(const uint8_t* data, size_t length) {
    PictureMetadata metadata;
    int32_t xPixelsPerMetre = 0, yPixelsPerMetre = 0;
    std::vector<std::string> warnings;  // said when the metadata is read for the picture
    ReadJpegMetadata(data, length, metadata, xPixelsPerMetre, yPixelsPerMetre, warnings);
    return std::move(metadata.IccProfile);
}

// A block of the picture's own, top row first, then each row into the sink. CMYK goes through
// the file's profile to sRGB where the load asks and the profile serves, else through our own model.
bool DecodeThroughScratch(tjhandle tj, const uint8_t* data, size_t length, const JpegHeader& header,
                          bool cmyk, bool grey, const LoadOptions& options, RowSink& rows, LoadResult& result,
                          bool& profileApplied) {
    // For CMYK a third more than the picture itself, whose size was checked at 32 bits a pixel.
    uint64_t rowBytes = 0;
    uint64_t bytes = 0;
    if (!ComputeRowBytes(header.width,
                         cmyk   ? kCmykBits
                         : grey ? kGreyBits
                                : kPictureBits,
                         rowBytes) ||
        !ComputeBufferBytes(rowBytes, header.height, bytes))
        return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    const ByteBlock scratch(size_t(bytes), BlockFill::Unset);
    if (scratch.data() == nullptr) return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    uint8_t* lastRow = scratch.data() + size_t(bytes - rowBytes);
    const int format = cmyk ? TJPF_CMYK : grey ? TJPF_GRAY : TJPF_BGR;
    const DecodeTarget target{scratch.data(), int(rowBytes), format,
                              kTopDownFlags,  lastRow,       size_t(rowBytes)};
    if (!Decompress(tj, data, length, header, target, result)) return false;
    const bool inverted = cmyk && HasAdobeSegment(data, length);
    std::unique_ptr<CmykToSrgb> colour;
    if (cmyk && options.ColourToSrgb) {
        const std::vector<uint8_t> profile = ReadProfile(data, length);
        // A profile of another space is the host's to judge, as for any picture.
        if (CmykToSrgb::Claimed(profile)) colour = std::make_unique<CmykToSrgb>(profile, inverted);
        if (colour && !colour->Valid()) {
            result.Warnings.push_back(warning::kUnusableCmykProfile);
            colour.reset();
        }
    }
    profileApplied = colour != nullptr;
    // The rows taken give their memory back, so that the picture is not held whole twice.
    FrontRelease taken(scratch.data());
    for (int32_t y = 0; y < header.height; ++y) {
        const uint8_t* row = scratch.data() + rowBytes * size_t(y);
        if (colour) {
            colour->Row(row, rows.Row(y), header.width);
            rows.Put(y);
        } else if (cmyk) {
            CmykRowToBgr(row, rows.Row(y), header.width, inverted);
            rows.Put(y);
        } else {
            rows.PutRow(y, row);
        }
        taken.Consumed(rowBytes * size_t(y + 1));
    }
    return true;
}

}  // namespace

bool DecodeJpegPicture(const uint8_t* data, size_t length, const LoadOptions& options, RowSink& rows,
                       LoadResult& result, PictureMetadata& metadata) {
    TjHandle tj(tjInitDecompress());
    if (!tj) return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    JpegHeader header;
    if (!ReadJpegHeader(tj.get(), data, length, header)) return Refuse(tj.get(), result);
    // The library hands CMYK and YCCK files out only as CMYK pixels, through a block of their own.
    const bool cmyk = header.colorspace == TJCS_CMYK || header.colorspace == TJCS_YCCK;
    // A few header bytes can claim any size: the limit is checked before the decoder does any work.
    if (!CheckPictureSize(header.width, header.height, cmyk ? kCmykBits : kPictureBits, options, result))
        return false;
    // A grey file goes as grey only where the sink keeps grey; otherwise the library spreads it.
    const bool grey = header.colorspace == TJCS_GRAY && rows.KeepsGrey();
    if (!rows.Begin(header.width, header.height, grey ? PixelLayout{1, 255, false} : kImage24Layout))
        return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    const PictureView held = rows.InPlace();
    bool profileApplied = false;
    const bool decoded = !cmyk && held.Valid()
                             ? DecodeInPlace(tj.get(), data, length, header, held, grey, rows, result)
                             : DecodeThroughScratch(tj.get(), data, length, header, cmyk, grey, options, rows,
                                                    result, profileApplied);
    if (decoded) {
        int32_t xPixelsPerMetre = 0, yPixelsPerMetre = 0;
        ReadJpegMetadata(data, length, metadata, xPixelsPerMetre, yPixelsPerMetre, result.Warnings);
        rows.SetResolution(xPixelsPerMetre, yPixelsPerMetre);
        if (profileApplied) MarkConvertedToSrgb(metadata);
    }
    return decoded;
}
