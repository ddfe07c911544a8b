// TIFF reader and writer. libtiff decompresses; the samples are turned into colour here, band by
// band (a strip or a row of tiles), because libtiff's RGBA interface multiplies alpha in and takes
// only the high byte of 16-bit grey. 16-bit samples, and alpha where the load keeps it, are
// delivered whole in a sample image; associated alpha is taken out of the colour. The RGBA interface
// serves only what it alone knows: YCbCr outside JPEG, old-style JPEG and colour spaces such as CIE
// L*a*b*.
#include "ImageHandle_Tiff.h"

#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ByteOrder.h"
#include "ByteSource.h"
#include "Descriptions.h"
#include "FileWriter.h"
#include "OwnedHandle.h"
#include "PictureBits.h"
#include "PictureView.h"
#include "PictureWarnings.h"
#include "PixelLimit.h"
#include "PixelRows.h"
#include "SampleRows.h"

namespace {

// More samples per pixel than any colour model and its alpha need: a row of such pixels is not
// something we read, and a header must not make us take that much memory.
constexpr uint16_t kMaxSamplesPerPixel = 16;
// A band or tile buffer may hold this much above what the picture's own samples need.
constexpr uint64_t kBufferSlackBytes = uint64_t(16) << 20;
constexpr uint64_t kMaxBytesPerPixel = uint64_t(kMaxSamplesPerPixel) * 2;
// Strips of about this size keep memory small and compress as well as one strip would.
constexpr uint64_t kWrittenStripBytes = 64 * 1024;
constexpr uint64_t kLibraryBlockBytes = uint64_t(256) << 20;
constexpr double kMetresPerInch = 0.0254;
constexpr double kCentimetresPerMetre = 100.0;

// --- Bytes in memory as a libtiff file ---

struct MemoryFile {
    const uint8_t* Read = nullptr;  // reading: the caller's bytes, read through Source
    ByteSource* Source = nullptr;
    std::vector<uint8_t> Written;  // writing: the file so far
    uint64_t Size = 0;
    uint64_t Position = 0;
};

tmsize_t ReadProc(thandle_t handle, void* buffer, tmsize_t count) {
    MemoryFile& file = *static_cast<MemoryFile*>(handle);
    if (count < 0 || file.Position >= file.Size) return 0;
    if (file.Source != nullptr) {
        const size_t n =
            file.Source->Seek(file.Position) ? file.Source->BytesUpTo(buffer, uint64_t(count)) : 0;
        file.Position += n;
        return tmsize_t(n);
    }
    const uint64_t n = std::min<uint64_t>(uint64_t(count), file.Size - file.Position);
    std::memcpy(buffer, file.Written.data() + file.Position, size_t(n));
    file.Position += n;
    return tmsize_t(n);
}

tmsize_t WriteProc(thandle_t handle, void* buffer, tmsize_t count) {
    MemoryFile& file = *static_cast<MemoryFile*>(handle);
    if (file.Read != nullptr || count < 0) return -1;
    const uint64_t end = file.Position + uint64_t(count);
    if (end > file.Written.size()) file.Written.resize(size_t(end));
    std::memcpy(file.Written.data() + file.Position, buffer, size_t(count));
    file.Position = end;
    file.Size = std::max(file.Size, end);
    return count;
}

toff_t SeekProc(thandle_t handle, toff_t offset, int whence) {
    MemoryFile& file = *static_cast<MemoryFile*>(handle);
    uint64_t base = 0;
    if (whence == SEEK_CUR) base = file.Position;
    if (whence == SEEK_END) base = file.Size;
    // A position past what a 32-bit block can hold is a damaged offset, never a place to write.
    if (offset > uint64_t(INT32_MAX) || base + offset > uint64_t(INT32_MAX)) return toff_t(-1);
    file.Position = base + offset;
    return file.Position;
}

int CloseProc(thandle_t) {
    return 0;
}

toff_t SizeProc(thandle_t handle) {
    return static_cast<MemoryFile*>(handle)->Size;
}

// A file being read is offered as mapped: libtiff then decodes each strip or tile where it lies,
// instead of copying it through ReadProc first. It never writes into a mapped file.
int MapProc(thandle_t handle, void** base, toff_t* size) {
    const MemoryFile& file = *static_cast<const MemoryFile*>(handle);
    if (file.Read == nullptr) return 0;
    *base = const_cast<uint8_t*>(file.Read);
    *size = file.Size;
    return 1;
}

void UnmapProc(thandle_t, void*, toff_t) {}

// libtiff's messages come here instead of stderr; the first error is the one worth showing.
struct Messages {
    std::string FirstError;
    std::string LastWarning;
};

std::string Format(const char* module, const char* format, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    return module != nullptr && *module != '\0' ? std::string(module) + ": " + text : std::string(text);
}

int OnError(TIFF*, void* user, const char* module, const char* format, va_list args) {
    Messages& messages = *static_cast<Messages*>(user);
    if (messages.FirstError.empty()) messages.FirstError = Format(module, format, args);
    return 1;
}

int OnWarning(TIFF*, void* user, const char* module, const char* format, va_list args) {
    static_cast<Messages*>(user)->LastWarning = Format(module, format, args);
    return 1;
}

using TiffPtr = Owned<TIFF, TIFFClose>;

// libtiff's first error (or last warning) as the reason; its memory failures, which it words in
// several ways, are said as every reader says them. Without any words, status stands alone.
bool Refuse(const Messages& messages, LoadStatus status, LoadResult& result) {
    const std::string& text = messages.FirstError.empty() ? messages.LastWarning : messages.FirstError;
    for (const char* words : {"memory", "Memory", "No space"}) {
        if (text.find(words) != std::string::npos)
            return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    }
    if (!text.empty()) return result.Refuse(LoadStatus::Damaged, text);
    return result.Refuse(status, "unreadable samples");
}

TiffPtr OpenMemory(MemoryFile& file, const char* mode, Messages& messages) {
    const Owned<TIFFOpenOptions, TIFFOpenOptionsFree> options(TIFFOpenOptionsAlloc());
    if (!options) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), OnError, &messages);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), OnWarning, &messages);
    // What libtiff takes for itself (strip offsets, compressed strips) is in proportion to the file.
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), tmsize_t(kLibraryBlockBytes + file.Size));
    return TiffPtr(TIFFClientOpenExt("picture", mode, &file, ReadProc, WriteProc, SeekProc, CloseProc,
                                     SizeProc, MapProc, UnmapProc, options.get()));
}

// --- What the first page holds ---

struct Layout {
    uint32_t Width = 0;
    uint32_t Height = 0;
    uint16_t Bits = 1;
    uint16_t Samples = 1;
    uint16_t Photometric = PHOTOMETRIC_MINISWHITE;
    uint16_t Planar = PLANARCONFIG_CONTIG;
    uint16_t Format = SAMPLEFORMAT_UINT;
    uint16_t Compression = COMPRESSION_NONE;
    uint16_t InkSet = INKSET_CMYK;
    bool Tiled = false;
    uint32_t BandRows = 0;   // rows per strip, or the tile length
    uint32_t TileWidth = 0;  // tiled files only
    bool HasAlpha = false;
    uint16_t AlphaAt = 0;     // which of the extra samples is the alpha
    bool Associated = false;  // the colour is premultiplied by the alpha
};

bool ReadLayout(TIFF* tif, Layout& layout) {
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &layout.Width) ||
        !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &layout.Height))
        return false;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &layout.Bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &layout.Samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &layout.Planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &layout.Format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &layout.Compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &layout.InkSet);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &layout.Photometric))
        layout.Photometric = layout.Samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
    uint16_t extraCount = 0;
    uint16_t* extra = nullptr;
    // The alpha may stand behind other extra samples (ExtraSamples 0, 2): the first that is alpha.
    if (TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extra) && extra != nullptr) {
        for (uint16_t i = 0; i < extraCount && !layout.HasAlpha; ++i) {
            if (extra[i] != EXTRASAMPLE_ASSOCALPHA && extra[i] != EXTRASAMPLE_UNASSALPHA) continue;
            layout.HasAlpha = true;
            layout.AlphaAt = i;
            layout.Associated = extra[i] == EXTRASAMPLE_ASSOCALPHA;
        }
    }
    layout.Tiled = TIFFIsTiled(tif) != 0;
    if (layout.Tiled) {
        if (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &layout.TileWidth) ||
            !TIFFGetField(tif, TIFFTAG_TILELENGTH, &layout.BandRows) || layout.TileWidth == 0)
            return false;
    } else {
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &layout.BandRows);
    }
    layout.BandRows = std::min(std::max<uint32_t>(layout.BandRows, 1), std::max<uint32_t>(layout.Height, 1));
    return true;
}

// The colour samples each pixel starts with, for the models read from the samples ourselves;
// 0 for a model left to the RGBA interface.
uint16_t ColourSamples(const Layout& layout) {
    switch (layout.Photometric) {
        case PHOTOMETRIC_MINISWHITE:
        case PHOTOMETRIC_MINISBLACK:
        case PHOTOMETRIC_PALETTE:
            return 1;
        case PHOTOMETRIC_RGB:
            return 3;
        case PHOTOMETRIC_SEPARATED:
            return layout.InkSet == INKSET_CMYK ? 4 : 0;
        default:
            return 0;
    }
}

bool BitsWeRead(const Layout& layout) {
    const uint16_t b = layout.Bits;
    const bool narrow = b == 1 || b == 2 || b == 4;
    const bool single = layout.Photometric == PHOTOMETRIC_MINISWHITE ||
                        layout.Photometric == PHOTOMETRIC_MINISBLACK ||
                        layout.Photometric == PHOTOMETRIC_PALETTE;
    return b == 8 || (b == 16 && layout.Photometric != PHOTOMETRIC_PALETTE) || (narrow && single);
}

// True when a buffer of this many bytes is in proportion to the picture: a tile or strip size
// from a header cannot take more than the samples themselves would.
bool InProportion(uint64_t bytes, const Layout& layout) {
    return bytes <= uint64_t(layout.Width) * layout.Height * kMaxBytesPerPixel + kBufferSlackBytes;
}

// --- Samples to colour ---

// Sample index of a row, at any of the bit depths read; 16-bit samples come in the host's order.
uint32_t SampleAt(const uint8_t* row, uint64_t index, uint16_t bits) {
    switch (bits) {
        case 8:
            return row[index];
        case 16: {
            uint16_t v;
            std::memcpy(&v, row + index * 2, 2);
            return v;
        }
        default: {
            const uint64_t bit = index * bits;
            const uint32_t shift = 8 - bits - uint32_t(bit % 8);
            return (row[bit / 8] >> shift) & ((1u << bits) - 1);
        }
    }
}

struct Palette {
    std::vector<uint8_t> Red, Green, Blue;
};

// Old writers stored 8-bit colour maps in the 16-bit fields; libtiff's own reader accepts them too.
// The map's colours are taken at 8 bits, as the indices they serve are.
bool ReadPalette(TIFF* tif, uint16_t bits, Palette& palette) {
    uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
    if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b) || !r || !g || !b) return false;
    const size_t entries = size_t(1) << bits;
    bool eightBit = true;
    for (size_t i = 0; i < entries; ++i) eightBit = eightBit && r[i] < 256 && g[i] < 256 && b[i] < 256;
    for (const auto& [from, to] : {std::pair{r, &palette.Red}, {g, &palette.Green}, {b, &palette.Blue}}) {
        to->resize(entries);
        for (size_t i = 0; i < entries; ++i)
            (*to)[i] = eightBit ? uint8_t(from[i]) : uint8_t((from[i] * 255u + 32767) / 65535);
    }
    return true;
}

// Band rows as decoded: one region per plane (one in all for contiguous samples).
struct Band {
    std::vector<uint8_t> Bytes;
    uint64_t PlaneBytes = 0;  // one plane's region
    uint64_t RowBytes = 0;    // one row of one region
};

// Where decoded rows go: the 24-bit image for opaque samples of 8 bits or fewer, else the sink, in
// Channels samples of 8 bits (Deep false) or 16.
// The layout rows reach the sink in: red, green, blue and, for a picture with alpha, alpha; 16 bits
// for deep samples, else 8.
struct RowTarget {
    RowSink& Rows;
    uint32_t Channels = 3;
    bool Deep = false;
};

// 8-bit contiguous RGB, what most files hold, without the general sample reader.
bool ColourRgb8Row(const Layout& layout, const RowTarget& target, const uint8_t* from, uint8_t* out) {
    if (layout.Bits != 8 || layout.Planar != PLANARCONFIG_CONTIG || layout.Photometric != PHOTOMETRIC_RGB ||
        layout.Associated || target.Channels != 3)
        return false;
    const size_t step = layout.Samples;
    for (uint32_t x = 0; x < layout.Width; ++x, from += step, out += 3)
        out[0] = from[0], out[1] = from[1], out[2] = from[2];
    return true;
}

// One pixel's colour at the samples' own precision: red, green, blue of 0 to max. Returns its
// alpha as stored (max without one). Colour stored multiplied by its alpha is taken back to the
// colour itself, so a picture gives the same colours whichever way its alpha was stored.
template <class SampleOf>
uint32_t PixelColour(const Layout& layout, const Palette& palette, const SampleOf& sample, uint16_t colour,
                     uint32_t max, uint32_t rgb[3]) {
    const uint32_t alpha = layout.HasAlpha ? sample(uint16_t(colour + layout.AlphaAt)) : max;
    if (layout.Photometric == PHOTOMETRIC_PALETTE) {
        const uint32_t i = sample(0);
        rgb[0] = palette.Red[i], rgb[1] = palette.Green[i], rgb[2] = palette.Blue[i];
        return alpha;
    }
    uint32_t c[4] = {0, 0, 0, 0};
    for (uint16_t s = 0; s < colour; ++s)
        c[s] = layout.Associated ? Unpremultiply(sample(s), alpha, max) : sample(s);
    switch (layout.Photometric) {
        case PHOTOMETRIC_RGB:
            rgb[0] = c[0], rgb[1] = c[1], rgb[2] = c[2];
            break;
        case PHOTOMETRIC_SEPARATED:
            for (int i = 0; i < 3; ++i) rgb[i] = (max - c[3]) * (max - c[i]) / max;
            break;
        default:
            rgb[0] = rgb[1] = rgb[2] = layout.Photometric == PHOTOMETRIC_MINISWHITE ? max - c[0] : c[0];
    }
    return alpha;
}

// A row into the sink's row: 16-bit samples as they are, narrower ones spread over 8 bits, and
// alpha where it has four channels.
void ColourRow(const Layout& layout, const Palette& palette, const Band& band, uint32_t row, uint8_t* out,
               const RowTarget& target) {
    const uint8_t* base = band.Bytes.data() + row * band.RowBytes;
    if (ColourRgb8Row(layout, target, base, out)) return;
    const bool planar = layout.Planar == PLANARCONFIG_SEPARATE;
    const uint64_t step = planar ? 1 : layout.Samples;
    const uint16_t colour = ColourSamples(layout);
    // Palette colours are 8-bit whatever the index's depth; other narrow samples spread over 8 bits.
    const uint32_t sampleMax = (1u << layout.Bits) - 1;
    const uint32_t max = layout.Photometric == PHOTOMETRIC_PALETTE ? 255 : sampleMax;
    // Samples of 8 bits or fewer (1, 2, 4 or 8): 255 is a whole multiple of their largest value.
    const uint32_t scale = 255 / max;
    const uint32_t sampleScale = 255 / sampleMax;
    for (uint32_t x = 0; x < layout.Width; ++x) {
        const auto sample = [&](uint16_t s) {
            const uint8_t* region = planar ? base + s * band.PlaneBytes : base;
            return SampleAt(region, uint64_t(x) * step + (planar ? 0 : s), layout.Bits);
        };
        uint32_t rgba[4];
        rgba[3] = PixelColour(layout, palette, sample, colour, max, rgba);
        for (uint32_t c = 0; c < target.Channels; ++c) {
            // Grey kept grey takes the first colour and the alpha.
            const uint32_t from = target.Channels == 2 && c == 1 ? 3 : c;
            const uint32_t times = from < 3 ? scale : sampleScale;
            const size_t at = size_t(x) * target.Channels + c;
            if (target.Deep) {
                PutSample<true>(out, at, rgba[from]);
            } else {
                PutSample<false>(out, at, rgba[from] * times);
            }
        }
    }
}

// --- Decoding from the strips and tiles ---

bool ReadStripBand(TIFF* tif, const Layout& layout, uint32_t bandIndex, Band& band) {
    const uint16_t planes = layout.Planar == PLANARCONFIG_SEPARATE ? layout.Samples : 1;
    const uint32_t stripsPerPlane = TIFFNumberOfStrips(tif) / planes;
    for (uint16_t p = 0; p < planes; ++p) {
        const uint32_t strip = bandIndex + p * stripsPerPlane;
        if (TIFFReadEncodedStrip(tif, strip, band.Bytes.data() + p * band.PlaneBytes,
                                 tmsize_t(band.PlaneBytes)) < 0)
            return false;
    }
    return true;
}

// count bits from the start of from to bit offset at of to, most significant bit first: a tile
// of sub-byte samples whose width is not a multiple of 8 pixels starts inside a byte of the row.
void CopyBits(const uint8_t* from, uint8_t* to, uint64_t at, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i, ++at) {
        const uint8_t bit = (from[i / 8] >> (7 - i % 8)) & 1;
        uint8_t& target = to[at / 8];
        target = uint8_t((target & ~(0x80u >> (at % 8))) | (bit << (7 - at % 8)));
    }
}

bool ReadTileBand(TIFF* tif, const Layout& layout, uint32_t y0, Band& band, std::vector<uint8_t>& tile) {
    const uint16_t planes = layout.Planar == PLANARCONFIG_SEPARATE ? layout.Samples : 1;
    const uint64_t tileRowBytes = uint64_t(TIFFTileRowSize64(tif));
    const uint64_t bitsPerPixel =
        uint64_t(layout.Planar == PLANARCONFIG_SEPARATE ? 1 : layout.Samples) * layout.Bits;
    for (uint16_t p = 0; p < planes; ++p) {
        for (uint32_t x0 = 0; x0 < layout.Width; x0 += layout.TileWidth) {
            if (TIFFReadTile(tif, tile.data(), x0, y0, 0, p) < 0) return false;
            const uint64_t bit = uint64_t(x0) * bitsPerPixel;
            const uint64_t bits = uint64_t(std::min(layout.TileWidth, layout.Width - x0)) * bitsPerPixel;
            for (uint32_t r = 0; r < layout.BandRows; ++r) {
                uint8_t* row = band.Bytes.data() + p * band.PlaneBytes + r * band.RowBytes;
                const uint8_t* from = tile.data() + r * tileRowBytes;
                if (bit % 8 == 0) {
                    std::memcpy(row + bit / 8, from, size_t((bits + 7) / 8));
                } else {
                    CopyBits(from, row, bit, bits);
                }
            }
        }
    }
    return true;
}

bool DecodeSamples(TIFF* tif, const Layout& layout, const RowTarget& target) {
    Palette palette;
    if (layout.Photometric == PHOTOMETRIC_PALETTE && !ReadPalette(tif, layout.Bits, palette)) return false;
    const uint16_t planes = layout.Planar == PLANARCONFIG_SEPARATE ? layout.Samples : 1;
    Band band;
    band.RowBytes = uint64_t(TIFFScanlineSize64(tif));
    band.PlaneBytes = band.RowBytes * layout.BandRows;
    const uint64_t tileBytes = layout.Tiled ? uint64_t(TIFFTileSize64(tif)) : 0;
    if (band.RowBytes == 0 || !InProportion(band.PlaneBytes * planes, layout) ||
        !InProportion(tileBytes, layout))
        return false;
    band.Bytes.resize(size_t(band.PlaneBytes * planes));
    std::vector<uint8_t> tile(static_cast<size_t>(tileBytes));
    for (uint32_t y0 = 0, index = 0; y0 < layout.Height; y0 += layout.BandRows, ++index) {
        const bool read = layout.Tiled ? ReadTileBand(tif, layout, y0, band, tile)
                                       : ReadStripBand(tif, layout, index, band);
        if (!read) return false;
        const uint32_t rows = std::min(layout.BandRows, layout.Height - y0);
        for (uint32_t r = 0; r < rows; ++r) {
            const int32_t y = int32_t(y0 + r);
            ColourRow(layout, palette, band, r, target.Rows.Row(y), target);
            target.Rows.Put(y);
        }
    }
    return true;
}

// --- Decoding through the RGBA interface ---

// A row of the interface's premultiplied pixels into 8-bit samples, the colour itself and alpha.
void RgbaRow(const uint32_t* from, const Layout& layout, uint32_t channels, uint8_t* to) {
    for (uint32_t x = 0; x < layout.Width; ++x) {
        const uint32_t a = layout.HasAlpha ? TIFFGetA(from[x]) : 255;
        const uint32_t pixel[4] = {Unpremultiply(TIFFGetR(from[x]), a, 255),
                                   Unpremultiply(TIFFGetG(from[x]), a, 255),
                                   Unpremultiply(TIFFGetB(from[x]), a, 255), a};
        for (uint32_t c = 0; c < channels; ++c) *to++ = uint8_t(pixel[c]);
    }
}

// Rows come in bands as stored: the requested orientation is the file's own, so nothing is flipped.
// A kind the interface cannot read either is refused with its words in unread. The sink takes 8-bit
// red, green, blue and, where the file has it, alpha.
bool DecodeRgba(TIFF* tif, const Layout& layout, const RowTarget& target, std::string& unread) {
    char message[1024] = {};
    TIFFRGBAImage rgba;
    if (!TIFFRGBAImageOK(tif, message) || !TIFFRGBAImageBegin(&rgba, tif, 0, message)) {
        unread = message;
        return false;
    }
    const Owned<TIFFRGBAImage, TIFFRGBAImageEnd> end(&rgba);
    rgba.req_orientation = rgba.orientation;
    const uint64_t bandPixels = uint64_t(layout.Width) * layout.BandRows;
    if (!InProportion(bandPixels * 4, layout)) return false;
    std::vector<uint32_t> raster(static_cast<size_t>(bandPixels));
    for (uint32_t y0 = 0; y0 < layout.Height; y0 += layout.BandRows) {
        const uint32_t rows = std::min(layout.BandRows, layout.Height - y0);
        rgba.row_offset = int(y0);
        rgba.col_offset = 0;
        if (!TIFFRGBAImageGet(&rgba, raster.data(), layout.Width, rows)) return false;
        for (uint32_t r = 0; r < rows; ++r) {
            const uint32_t* from = raster.data() + size_t(r) * layout.Width;
            const int32_t y = int32_t(y0 + r);
            RgbaRow(from, layout, target.Channels, target.Rows.Row(y));
            target.Rows.Put(y);
        }
    }
    return true;
}

// --- Metadata ---

int32_t PixelsPerMetre(float resolution, uint16_t unit) {
    if (!(resolution > 0) || unit == RESUNIT_NONE) return 0;
    const double perMetre =
        unit == RESUNIT_CENTIMETER ? resolution * kCentimetresPerMetre : resolution / kMetresPerInch;
    return perMetre < double(INT32_MAX) ? int32_t(std::lround(perMetre)) : 0;
}

// TIFF's ASCII tags that describe the picture, under the names PNG gives the same text.
const struct {
    ttag_t Tag;
    const char* Keyword;
} kDescriptionTags[] = {
    {TIFFTAG_IMAGEDESCRIPTION, keyword::kDescription},
    {TIFFTAG_ARTIST, keyword::kAuthor},
    {TIFFTAG_COPYRIGHT, keyword::kCopyright},
    {TIFFTAG_SOFTWARE, keyword::kSoftware},
};

// libtiff hands each tag's text ended by a zero it made sure of, up to the tag's first zero.
void ReadDescriptions(TIFF* tif, PictureMetadata& metadata) {
    for (const auto& row : kDescriptionTags) {
        const char* text = nullptr;
        if (!TIFFGetField(tif, row.Tag, &text) || text == nullptr) continue;
        PictureText item{row.Keyword,
                         TextFromBytes(reinterpret_cast<const uint8_t*>(text), std::strlen(text))};
        if (!item.Text.empty()) metadata.Descriptions.push_back(std::move(item));
    }
}

bool WriteDescriptions(TIFF* tif, const std::vector<PictureText>& descriptions) {
    bool ok = true;
    for (const auto& row : kDescriptionTags) {
        for (const PictureText& text : descriptions) {
            if (text.Keyword != row.Keyword || text.Text.empty()) continue;
            ok = ok && TIFFSetField(tif, row.Tag, text.Text.c_str());
            break;
        }
    }
    return ok;
}

void ReadMetadata(TIFF* tif, int32_t& xPpm, int32_t& yPpm, PictureMetadata& metadata) {
    ReadDescriptions(tif, metadata);
    uint32_t count = 0;
    void* bytes = nullptr;
    if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &count, &bytes) && bytes != nullptr)
        metadata.IccProfile.assign(static_cast<uint8_t*>(bytes), static_cast<uint8_t*>(bytes) + count);
    if (TIFFGetField(tif, TIFFTAG_XMLPACKET, &count, &bytes) && bytes != nullptr)
        metadata.Xmp.assign(static_cast<uint8_t*>(bytes), static_cast<uint8_t*>(bytes) + count);
    uint16_t orientation = 0;
    if (TIFFGetField(tif, TIFFTAG_ORIENTATION, &orientation) && orientation >= 1 && orientation <= 8)
        metadata.Orientation = orientation;
    float x = 0, y = 0;
    uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &x)) xPpm = PixelsPerMetre(x, unit);
    if (TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y)) yPpm = PixelsPerMetre(y, unit);
}

// --- Writing ---

// What the tags say of the written picture.
struct WrittenShape {
    int32_t Width;
    int32_t Height;
    uint16_t Bits;      // 8 or 16
    uint16_t Channels;  // 3, or 4 with unassociated alpha; 1 and 2 for grey
    int32_t XPixelsPerMetre;
    int32_t YPixelsPerMetre;
};

bool WriteTags(TIFF* tif, const WrittenShape& shape, const PictureMetadata* metadata) {
    const uint32_t width = uint32_t(shape.Width);
    const uint64_t rowBytes = uint64_t(width) * shape.Channels * shape.Bits / 8;
    const uint32_t rowsPerStrip = uint32_t(std::max<uint64_t>(1, kWrittenStripBytes / rowBytes));
    // LZW with the horizontal predictor, which TIFF 6.0 itself has: validators flag deflate.
    const uint16_t unassociatedAlpha[1] = {EXTRASAMPLE_UNASSALPHA};
    bool ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width) &&
              TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(shape.Height)) &&
              TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, shape.Bits) &&
              TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, shape.Channels) &&
              (shape.Channels % 2 == 1 || TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, unassociatedAlpha)) &&
              TIFFSetField(tif, TIFFTAG_PHOTOMETRIC,
                           shape.Channels <= 2 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB) &&
              TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
              TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW) &&
              TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL) &&
              TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    // The resolution tags are required; a picture without one says 1:1 in no unit, which reads back
    // as none.
    const int32_t xppm = shape.XPixelsPerMetre, yppm = shape.YPixelsPerMetre;
    const bool known = xppm > 0 && yppm > 0;
    ok = ok && TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, known ? RESUNIT_INCH : RESUNIT_NONE) &&
         TIFFSetField(tif, TIFFTAG_XRESOLUTION, known ? float(xppm * kMetresPerInch) : 1.0f) &&
         TIFFSetField(tif, TIFFTAG_YRESOLUTION, known ? float(yppm * kMetresPerInch) : 1.0f);
    if (metadata != nullptr && !metadata->IccProfile.empty())
        ok = ok && TIFFSetField(tif, TIFFTAG_ICCPROFILE, uint32_t(metadata->IccProfile.size()),
                                metadata->IccProfile.data());
    // The picture is written as it was stored: its orientation tag still says how to show it.
    if (metadata != nullptr && metadata->Orientation != 0)
        ok = ok && TIFFSetField(tif, TIFFTAG_ORIENTATION, metadata->Orientation);
    if (metadata != nullptr && !metadata->Xmp.empty())
        ok = ok && TIFFSetField(tif, TIFFTAG_XMLPACKET, uint32_t(metadata->Xmp.size()), metadata->Xmp.data());
    if (metadata != nullptr) ok = ok && WriteDescriptions(tif, metadata->Descriptions);
    return ok;
}

// Rows in the layout the framework chose, top first; libtiff takes 16-bit samples in the
// machine's order. Its predictor differences the row it is given where it lies, so the picture's
// own rows go through a copy: the picture is the caller's, and may be saved again.
bool WriteRows(TIFF* tif, RowSource& rows, int32_t height) {
    const bool wide = rows.Layout().Wide();
    std::vector<uint16_t> words(wide ? rows.RowBytes() / 2 : 0);
    std::vector<uint8_t> bytes(wide ? 0 : rows.RowBytes());
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* row = rows.Row(y);
        for (size_t i = 0; i < words.size(); ++i) words[i] = GetU16BE(row + 2 * i);
        if (!wide) std::memcpy(bytes.data(), row, bytes.size());
        void* stored = wide ? static_cast<void*>(words.data()) : static_cast<void*>(bytes.data());
        if (TIFFWriteScanline(tif, stored, uint32_t(y), 0) < 0) return false;
    }
    return true;
}

// The whole file is made in memory, then written out: libtiff seeks back to finish its directory.
// Each page is a directory of its own, its tags and rows from writePage.
bool WriteTiff(const char* path, size_t pages, const std::function<bool(TIFF*, size_t)>& writePage) {
    MemoryFile file;
    Messages messages;
    {
        const TiffPtr tif = OpenMemory(file, "wl", messages);
        if (!tif) return false;
        for (size_t page = 0; page < pages; ++page) {
            if (!writePage(tif.get(), page) || !TIFFWriteDirectory(tif.get())) return false;
        }
    }
    if (!messages.FirstError.empty()) return false;
    FileWriter out;
    return out.Open(path) && out.Write(file.Written.data(), size_t(file.Size)) && out.Commit();
}

}  // namespace

namespace {

// The page of the directory tif stands at, into the sink: the first begins it, each later one is
// a frame of its own. unread gets the words of a kind no decoder here takes.
bool DecodePage(TIFF* tif, Layout& layout, bool first, RowSink& rows, LoadResult& result, std::string& unread,
                bool& outOfMemory) {
    if (layout.Compression == COMPRESSION_JPEG && layout.Photometric == PHOTOMETRIC_YCBCR) {
        // libtiff's JPEG codec turns YCbCr into RGB itself, so the samples read like RGB.
        TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        layout.Photometric = PHOTOMETRIC_RGB;
    }
    const uint16_t colour = ColourSamples(layout);
    const bool ours = colour != 0 && layout.Compression != COMPRESSION_OJPEG;
    if (!TIFFIsCODECConfigured(layout.Compression)) {
        unread = "compression " + std::to_string(layout.Compression);
        return false;
    }
    if (layout.Samples > kMaxSamplesPerPixel ||
        (ours && (layout.Samples < colour + (layout.HasAlpha ? 1 + layout.AlphaAt : 0) ||
                  layout.Format != SAMPLEFORMAT_UINT || !BitsWeRead(layout)))) {
        unread = std::to_string(layout.Samples) + " samples of " + std::to_string(layout.Bits) +
                 " bits, format " + std::to_string(layout.Format);
        return false;
    }
    const bool deep = ours && layout.Bits > 8;
    const bool grey =
        ours && rows.KeepsGrey() &&
        (layout.Photometric == PHOTOMETRIC_MINISBLACK || layout.Photometric == PHOTOMETRIC_MINISWHITE);
    const uint32_t channels = (layout.HasAlpha ? 4 : 3) - (grey ? 2 : 0);
    const PixelLayout delivered{channels, deep ? 65535u : 255u, false};
    outOfMemory = !(first ? rows.Begin(int32_t(layout.Width), int32_t(layout.Height), delivered)
                          : rows.NextFrame(delivered));
    if (outOfMemory) return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    const RowTarget target{rows, channels, deep};
    return ours ? DecodeSamples(tif, layout, target) : DecodeRgba(tif, layout, target, unread);
}

bool ReducedResolution(TIFF* tif) {
    uint32_t kind = 0;
    return TIFFGetField(tif, TIFFTAG_SUBFILETYPE, &kind) && (kind & FILETYPE_REDUCEDIMAGE) != 0;
}

// The full-resolution pages after the first, counted by a walk of the directories that reads no
// pixels; tif stands at the first again after it.
uint64_t CountPages(TIFF* tif) {
    uint64_t pages = 1;
    while (TIFFReadDirectory(tif)) pages += ReducedResolution(tif) ? 0 : 1;
    TIFFSetDirectory(tif, 0);
    return pages;
}

}  // namespace

bool FCImageHandle_Tiff::LoadSource(ByteSource& in) {
    const uint8_t* data = nullptr;
    size_t length = 0;
    if (!TakeWholeFile(in, data, length)) return false;
    MemoryFile file;
    file.Read = data;
    file.Source = &in;
    file.Size = uint64_t(length);
    Messages messages;
    const TiffPtr tif = OpenMemory(file, "rm", messages);
    Layout layout;
    if (!tif || !ReadLayout(tif.get(), layout)) return Refuse(messages, LoadStatus::Damaged, Result);
    if (!CheckPictureSize(layout.Width, layout.Height, kPictureBits, Options, Result)) return false;
    const uint64_t pages = Options.AllFrames ? CountPages(tif.get()) : 1;
    // What the walk met past the first page is no reason to refuse it.
    messages = Messages();
    if (pages > 1 && !CheckFramesSize(layout.Width, layout.Height, pages, Options, Result)) return false;
    if (pages > 1 && !ReadLayout(tif.get(), layout)) return Refuse(messages, LoadStatus::Damaged, Result);
    std::string unread;
    bool outOfMemory = false;
    if (!DecodePage(tif.get(), layout, true, Rows, Result, unread, outOfMemory)) {
        if (outOfMemory) return false;
        if (!unread.empty()) return Result.Refuse(LoadStatus::Unsupported, unread);
        return Refuse(messages, LoadStatus::Damaged, Result);
    }
    int32_t xPpm = 0, yPpm = 0;
    ReadMetadata(tif.get(), xPpm, yPpm, Metadata);
    Rows.SetResolution(xPpm, yPpm);
    if (pages == 1) {
        if (TIFFNumberOfDirectories(tif.get()) > 1) Result.Warnings.push_back(warning::kFrames);
        return true;
    }
    // Decision: a page of another size than the first cannot be a frame of the same picture, and
    // is refused by its number (counting every directory from 1); a page that does not decode ends
    // the pages, with a warning, those before it kept.
    uint64_t kept = 1;
    for (uint32_t directory = 2; kept < pages && TIFFReadDirectory(tif.get()); ++directory) {
        if (ReducedResolution(tif.get())) continue;
        Layout page;
        if (!ReadLayout(tif.get(), page)) break;
        if (page.Width != layout.Width || page.Height != layout.Height)
            return Result.Refuse(LoadStatus::Unsupported,
                                 "page " + std::to_string(directory) + " is " + std::to_string(page.Width) +
                                     " x " + std::to_string(page.Height) + " pixels, the first " +
                                     std::to_string(layout.Width) + " x " + std::to_string(layout.Height));
        messages = Messages();
        if (!DecodePage(tif.get(), page, false, Rows, Result, unread, outOfMemory)) {
            if (outOfMemory) return false;
            break;
        }
        ++kept;
    }
    if (kept < pages) {
        const std::string words = !unread.empty()                ? unread
                                  : !messages.FirstError.empty() ? messages.FirstError
                                                                 : std::string("damaged directory");
        Result.Warnings.push_back(warning::FramesCutShort(kept, words));
    }
    return true;
}

bool FCImageHandle_Tiff::WritePicture(const char* path, int32_t) {
    const WrittenShape shape{SaveView.Width,
                             SaveView.Height,
                             uint16_t(SaveLayout.Wide() ? 16 : 8),
                             uint16_t(SaveLayout.Channels),
                             SaveView.XPixelsPerMetre,
                             SaveView.YPixelsPerMetre};
    if (SaveFrames == nullptr) {
        RowSource rows(SaveView, SaveLayout);
        return WriteTiff(path, 1, [&](TIFF* tif, size_t) {
            return WriteTags(tif, shape, SaveMetadata) && WriteRows(tif, rows, SaveView.Height);
        });
    }
    // Every page says which it is; the colour profile and orientation hold for each, the rest is
    // said once, on the first.
    PictureMetadata later;
    if (SaveMetadata != nullptr) {
        later.IccProfile = SaveMetadata->IccProfile;
        later.Orientation = SaveMetadata->Orientation;
    }
    const size_t pages = SaveFrames->FrameCount();
    return WriteTiff(path, pages, [&](TIFF* tif, size_t page) {
        RowSource rows(SaveFrames->Frames[page]->View(), SaveLayout);
        return WriteTags(tif, shape, page == 0 ? SaveMetadata : &later) &&
               TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE) &&
               TIFFSetField(tif, TIFFTAG_PAGENUMBER, uint16_t(page),
                            uint16_t(std::min<size_t>(pages, 65535))) &&
               WriteRows(tif, rows, SaveView.Height);
    });
}
