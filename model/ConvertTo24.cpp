// FCObjImage::ConvertTo24: expands palette, 16-bit and 32-bit images to blue, green, red bytes
// in one pass over the pixels.
#include <algorithm>

#include "ByteOrder.h"
#include "ChannelMask.h"
#include "ImageSize.h"
#include "ObjImage.h"

namespace {

constexpr uint32_t kLayout565[3] = {0xF800, 0x07E0, 0x001F};

// The green mask alone picks one of the two standard layouts; any other masks are decoded as given.
void Make16BitDecoders(const uint32_t masks[3], ChannelMask decoders[3]) {
    const uint32_t* layout = masks;
    if (masks[1] == kMasks555[1]) layout = kMasks555;
    if (masks[1] == kLayout565[1]) layout = kLayout565;
    for (int i = 0; i < 3; ++i) decoders[i] = DescribeChannelMask(layout[i]);
}

void WriteBgr(uint8_t* out, const RGBQUAD& colour) {
    out[0] = colour.rgbBlue;
    out[1] = colour.rgbGreen;
    out[2] = colour.rgbRed;
}

void ConvertIndexedRow(const uint8_t* src, uint8_t* dst, int32_t width, uint16_t bpp,
                       const RGBQUAD* palette) {
    switch (bpp) {
        case 1:
            for (int32_t x = 0; x < width; ++x, dst += 3) {
                WriteBgr(dst, palette[(src[x / 8] >> (7 - x % 8)) & 1]);
            }
            break;
        case 4:
            for (int32_t x = 0; x < width; ++x, dst += 3) {
                const uint8_t b = src[x / 2];
                WriteBgr(dst, palette[(x % 2 == 0) ? b >> 4 : b & 0x0F]);
            }
            break;
        default:
            for (int32_t x = 0; x < width; ++x, dst += 3) WriteBgr(dst, palette[src[x]]);
            break;
    }
}

void Convert16Row(const uint8_t* src, uint8_t* dst, int32_t width, const ChannelMask decoders[3]) {
    for (int32_t x = 0; x < width; ++x, src += 2, dst += 3) {
        const uint32_t p = GetU16LE(src);
        dst[0] = ExtractChannel(p, decoders[2]);
        dst[1] = ExtractChannel(p, decoders[1]);
        dst[2] = ExtractChannel(p, decoders[0]);
    }
}

void Convert32Row(const uint8_t* src, uint8_t* dst, int32_t width) {
    for (int32_t x = 0; x < width; ++x, src += 4, dst += 3) {
        dst[0] = src[0];
        dst[1] = src[1];
        dst[2] = src[2];
    }
}

}  // namespace

// The 24-bit image is built aside and swapped in, so the old pixels are read where they lie
// (no copy) and a failed allocation leaves the image untouched.
void FCObjImage::ConvertTo24() {
    if (!IsValid() || InfoHeader.biBitCount == 24) return;
    const int32_t width = InfoHeader.biWidth;
    const int32_t height = InfoHeader.biHeight;
    const uint16_t bpp = InfoHeader.biBitCount;
    FCObjImage converted;
    if (!converted.Create(width, height, 24)) return;
    converted.InfoHeader.biXPelsPerMeter = InfoHeader.biXPelsPerMeter;
    converted.InfoHeader.biYPelsPerMeter = InfoHeader.biYPelsPerMeter;

    RGBQUAD palette[256] = {};
    if (bpp <= kMaxPaletteBits) GetPalette(palette, int32_t(PaletteEntryCount(bpp)));
    ChannelMask decoders[3];
    if (bpp == 16) Make16BitDecoders(BitMasks, decoders);

    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* src = RowTable[y];
        uint8_t* dst = converted.RowTable[y];
        if (bpp <= kMaxPaletteBits) {
            ConvertIndexedRow(src, dst, width, bpp, palette);
        } else if (bpp == 16) {
            Convert16Row(src, dst, width, decoders);
        } else {
            Convert32Row(src, dst, width);
        }
    }
    SwapStorage(converted);
}
