#!/bin/sh
# Makes the TIFF, WebP, HEIF and JPEG XL test pictures once, from a 35 x 27 corner of the hippopotamus, and
# their reference decodes (raw RGB rows, top row first, one byte a sample). Run from anywhere:
#   sh tests/data/make-format-files.sh
# TIFF and WebP files are written and decoded by Debian's ImageMagick 6 (/usr/bin/convert); the
# decodes are taken at 16 bits and narrowed with rounding, (v * 255 + 32767) / 65535, which gives
# 8-bit samples back unchanged. HEIF files come from heif-enc and are decoded by heif-convert, the
# library's own tool, because the rotated one is patched by hand (ImageMagick writes no rotation).
# The right-origin TGA files are Pillow pictures with their rows turned around, and have no decodes.
set -eu
data=$(cd "$(dirname "$0")" && pwd)
ref=$data/reference
convert=/usr/bin/convert
crop="$data/bmp/wuffs/hippopotamus.bmp[35x27+0+0]"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# decode SOURCE OUTPUT
decode() {
    mkdir -p "$(dirname "$2")"
    "$convert" "$1" -depth 16 -endian MSB rgb:- |
        python3 -c 'import sys; b = sys.stdin.buffer.read()
sys.stdout.buffer.write(bytes(((b[i] << 8 | b[i + 1]) * 255 + 32767) // 65535 for i in range(0, len(b), 2)))' >"$2"
}

# A picture with half-transparent pixels whose colour must come back as stored.
"$convert" "$crop" -alpha set -channel A -fx 'i / w' +channel "$work/alpha.png"

# TIFF: name and ImageMagick options.
while IFS='|' read -r file options; do
    eval "$convert \"\$crop\" $options \"\$data/tiff/\$file\""
    decode "$data/tiff/$file[0]" "$ref/tiff/$file.rgb"
done <<'VARIANTS'
rgb8-none.tif|-compress None
rgb8-lzw-be.tif|-compress LZW -define tiff:endian=msb
rgb8-deflate.tif|-compress Zip -define tiff:predictor=1
rgb8-deflate-predictor.tif|-compress Zip -define tiff:predictor=2
rgb8-packbits-tiles.tif|-compress RLE -define tiff:tile-geometry=16x16
rgb8-planar.tif|-interlace Plane -compress LZW
rgb8-planar-tiles.tif|-interlace Plane -compress Zip -define tiff:tile-geometry=16x16
rgb16-be.tif|-depth 16 -evaluate add 0.1% -compress Zip -define tiff:endian=msb
grey8.tif|-colorspace Gray -compress None
grey16-tiles.tif|-colorspace Gray -depth 16 -evaluate add 0.1% -define tiff:tile-geometry=16x16
palette.tif|-type Palette -compress LZW
bilevel-g4.tif|-monochrome -compress Group4 -define quantum:polarity=min-is-black
bilevel-g3-miniswhite.tif|-monochrome -compress Fax -define quantum:polarity=min-is-white
jpeg.tif|-compress JPEG -quality 90
cmyk8.tif|-colorspace CMYK -compress None
cmyk16.tif|-colorspace CMYK -depth 16 -compress Zip
two-pages.tif|\( +clone -flop \) -compress Zip
pages-and-thumbnail.tif|\( +clone -resize 50% \) \( -clone 0 -flip \) -compress Zip
pages-of-two-sizes.tif|\( +clone -resize 50% \) -compress Zip
VARIANTS
# JPEG in YCbCr (libtiff's own choice), and uncompressed YCbCr, which no tool here writes: spelled
# out from the RGB samples (full resolution, BT.601 as the format's defaults say).
tiffcp -c jpeg "$data/tiff/rgb8-none.tif" "$data/tiff/jpeg-ycbcr.tif"
python3 - "$ref/tiff/rgb8-none.tif.rgb" "$data/tiff/ycbcr.tif" <<'PYTHON'
import struct, sys
rgb = open(sys.argv[1], "rb").read()
w, h = 35, 27
clamp = lambda v: max(0, min(255, round(v)))
pixels = bytearray()
for i in range(0, len(rgb), 3):
    r, g, b = rgb[i:i + 3]
    y = 0.299 * r + 0.587 * g + 0.114 * b
    pixels += bytes((clamp(y), clamp((b - y) / 1.772 + 128), clamp((r - y) / 1.402 + 128)))
tags = [(256, 3, 1, w), (257, 3, 1, h), (258, 3, 1, 8), (259, 3, 1, 1), (262, 3, 1, 6), (273, 4, 1, 0),
        (277, 3, 1, 3), (278, 3, 1, h), (279, 4, 1, len(pixels)), (530, 3, 2, 1 | 1 << 16)]
start = 8 + 2 + 12 * len(tags) + 4
ifd = struct.pack("<H", len(tags))
for tag, kind, count, value in tags:
    value = start if tag == 273 else value
    ifd += struct.pack("<HHI", tag, kind, count) + (struct.pack("<HH", value & 0xFFFF, value >> 16) if kind == 3 else struct.pack("<I", value))
open(sys.argv[2], "wb").write(b"II*\0" + struct.pack("<I", 8) + ifd + b"\0\0\0\0" + pixels)
PYTHON
for file in jpeg-ycbcr.tif ycbcr.tif; do decode "$data/tiff/$file" "$ref/tiff/$file.rgb"; done
"$convert" "$work/alpha.png" -define tiff:alpha=unassociated -compress Zip "$data/tiff/rgba8-unassociated.tif"
decode "$data/tiff/rgba8-unassociated.tif" "$ref/tiff/rgba8-unassociated.tif.rgb"
# libtiff's own decode (tiff2rgba: RGBA in one uncompressed strip, colour multiplied by alpha),
# taken back to the colour by (c * 255 + a / 2) / a, 0 where a is 0, which keeps opaque colour.
libtiff_decode() {
    tiff2rgba -c none -r 100000 "$1" "$work/rgba.tif" 2>/dev/null
    python3 - "$work/rgba.tif" "$2" <<'PYTHON'
import struct, sys
tiff = open(sys.argv[1], "rb").read()
at = struct.unpack_from("<I", tiff, 4)[0]
tags = {struct.unpack_from("<H", tiff, e)[0]: struct.unpack_from("<I", tiff, e + 8)[0]
        for e in range(at + 2, at + 2 + 12 * struct.unpack_from("<H", tiff, at)[0], 12)}
rgba = tiff[tags[273]:tags[273] + tags[279]]
out = bytearray()
for r, g, b, a in zip(*[iter(rgba)] * 4):
    out += bytes(0 if a == 0 else min(255, (c * 255 + a // 2) // a) for c in (r, g, b))
open(sys.argv[2], "wb").write(out)
PYTHON
}
# The same picture with its alpha associated; ImageMagick's decode differs by 1 where the division
# falls on a half, which it rounds down.
"$convert" "$work/alpha.png" -define tiff:alpha=associated -compress Zip "$data/tiff/rgba8-associated.tif"
libtiff_decode "$data/tiff/rgba8-associated.tif" "$ref/tiff/rgba8-associated.tif.rgb"
# 7 x 5 grey at 4 bits and at 1 bit in 3 x 3 tiles, which libtiff reads with a warning and no tool
# here writes: every tile but the first of a row starts inside a byte of the picture's row.
python3 - "$data/tiff" <<'PYTHON'
import struct, sys
w, h, side = 7, 5, 3
for bits, name in ((4, "grey4-tiles3x3.tif"), (1, "bilevel-tiles3x3.tif")):
    # 4 bits: 0 34 68 ... 204 along the top row; 1 bit: the bits of 0x5B3D, two further on a row.
    sample = lambda x, y: 0 if x >= w or y >= h else (2 * x + y) % 16 if bits == 4 else 0x5B3D >> (x + 2 * y) % 16 & 1
    tile_row = (side * bits + 7) // 8
    tiles = b""
    for ty, tx, y in ((ty, tx, y) for ty in range(0, h, side) for tx in range(0, w, side) for y in range(ty, ty + side)):
        row = sum(sample(x, y) << (8 * tile_row - bits * (x - tx + 1)) for x in range(tx, tx + side))
        tiles += row.to_bytes(tile_row, "big")
    size, count = tile_row * side, len(tiles) // (tile_row * side)
    arrays = 8 + len(tiles) + 2 + 12 * 10 + 4
    tags = [(256, 3, w), (257, 3, h), (258, 3, bits), (259, 3, 1), (262, 3, 1), (277, 3, 1), (322, 3, side),
            (323, 3, side), (324, 4, arrays), (325, 4, arrays + 4 * count)]
    ifd = struct.pack("<H", len(tags)) + b"".join(struct.pack("<HHII", tag, kind, count if kind == 4 else 1, value) for tag, kind, value in tags)
    arrays = struct.pack("<%dI" % (2 * count), *[8 + i * size for i in range(count)], *[size] * count)
    open(sys.argv[1] + "/" + name, "wb").write(b"II*\0" + struct.pack("<I", 8 + len(tiles)) + tiles + ifd + b"\0" * 4 + arrays)
PYTHON
for file in grey4-tiles3x3.tif bilevel-tiles3x3.tif; do libtiff_decode "$data/tiff/$file" "$ref/tiff/$file.rgb"; done
# Resolution and a profile, for the metadata: 300 pixels per inch is 11811 per metre.
"$convert" "$crop" -density 300 -units PixelsPerInch -set profile:icc "$data/jpeg/pillow/pil_sample_cmyk.jpg" \
    -compress None "$data/tiff/rgb8-300dpi.tif" 2>/dev/null ||
    "$convert" "$crop" -density 300 -units PixelsPerInch -compress None "$data/tiff/rgb8-300dpi.tif"
decode "$data/tiff/rgb8-300dpi.tif" "$ref/tiff/rgb8-300dpi.tif.rgb"
# Orientation 6 and nothing else besides the pixels, which stay as rgb8-none.tif's.
cp "$data/tiff/rgb8-none.tif" "$data/tiff/orientation6.tif"
tiffset -s 274 6 "$data/tiff/orientation6.tif"
# Floating-point samples, a kind of TIFF not read. ImageMagick writes the file whole but fails on the
# predictor tag, which libtiff refuses without compression.
"$convert" "$crop" -define quantum:format=floating-point -depth 32 -compress None "$data/tiff/float32.tif" 2>/dev/null ||
    test -s "$data/tiff/float32.tif"
# The second directory of the three is a reduced-resolution copy, as its SubfileType says.
tiffset -d 1 -s 254 1 "$data/tiff/pages-and-thumbnail.tif"
# Truncated: half the file.
head -c "$(($(wc -c <"$data/tiff/rgb8-deflate.tif") / 2))" "$data/tiff/rgb8-deflate.tif" >"$data/tiff/truncated.tif"

# WebP.
"$convert" "$crop" -quality 80 "$data/webp/lossy.webp"
"$convert" "$crop" -define webp:lossless=true "$data/webp/lossless.webp"
"$convert" "$work/alpha.png" -define webp:lossless=true -define webp:exact=true "$data/webp/alpha-lossless.webp"
"$convert" "$work/alpha.png" -quality 90 "$data/webp/alpha-lossy.webp"
"$convert" "$crop" -flop "$work/second.png"
"$convert" "$crop" "$work/first.png"
img2webp -loop 0 -lossless "$work/first.png" -d 100 "$work/second.png" -o "$data/webp/animated.webp" >/dev/null 2>&1
# An animation whose frames are disposed to the background, from the GIF of the same name.
gif2webp -quiet "$data/gif/peterdn/animated_transparent_frame_restorebackground_loop.gif" \
    -o "$data/webp/restore-background.webp"
# Frames that blend over the canvas, the second disposed to the background under the third, and
# their decode by libwebp's own animation decoder (the frames one above the other in a PNG: ImageMagick
# drops the alpha of a TIFF's later pages).
"$convert" -size 40x30 gradient:red-blue -alpha set -channel A -fx 'i / w' +channel "$work/wide.png"
"$convert" -size 20x16 gradient:yellow-green -alpha set -channel A -fx 'j / h' +channel "$work/small.png"
cwebp -quiet -lossless "$work/wide.png" -o "$work/wide.webp"
cwebp -quiet -lossless "$work/small.png" -o "$work/small.webp"
webpmux -frame "$work/wide.webp" +100+0+0+0+b -frame "$work/small.webp" +100+10+6+1+b \
    -frame "$work/small.webp" +100+4+2+0+b -loop 0 -o "$data/webp/blend-over-cleared.webp" >/dev/null
cat >"$work/frames.c" <<'C'
#include <stdio.h>
#include <stdlib.h>
#include <webp/demux.h>
int main(int argc, char **argv) {
    FILE *in = fopen(argv[1], "rb");
    static uint8_t bytes[1 << 20];
    WebPData data = {bytes, fread(bytes, 1, sizeof bytes, in)};
    WebPAnimDecoderOptions options;
    WebPAnimDecoderOptionsInit(&options);
    options.color_mode = MODE_RGBA;
    WebPAnimDecoder *decoder = WebPAnimDecoderNew(&data, &options);
    WebPAnimInfo info;
    WebPAnimDecoderGetInfo(decoder, &info);
    while (WebPAnimDecoderHasMoreFrames(decoder)) {
        uint8_t *canvas;
        int timestamp;
        WebPAnimDecoderGetNext(decoder, &canvas, &timestamp);
        fwrite(canvas, 4, (size_t)info.canvas_width * info.canvas_height, stdout);
    }
    return argc < 2;
}
C
cc -O2 -o "$work/frames" "$work/frames.c" $(pkg-config --cflags --libs libwebpdemux libwebp)
"$work/frames" "$data/webp/blend-over-cleared.webp" >"$work/frames.rgba"
"$convert" -size 40x90 -depth 8 "rgba:$work/frames.rgba" "$ref/webp/blend-over-cleared.png"
# EXIF Orientation 6 added to the lossless picture, whose decode is unchanged: for --auto-orient.
cp "$data/webp/lossless.webp" "$data/webp/orientation6.webp"
exiftool -q -overwrite_original -Orientation#=6 "$data/webp/orientation6.webp"
for file in lossy lossless alpha-lossless alpha-lossy; do decode "$data/webp/$file.webp" "$ref/webp/$file.webp.rgb"; done
decode "$work/first.png" "$ref/webp/animated.webp.rgb"
head -c "$(($(wc -c <"$data/webp/lossy.webp") / 2))" "$data/webp/lossy.webp" >"$data/webp/truncated.webp"

# HEIF: HEIC and AVIF (a folder of its own) at 8 bits, a 10-bit HEIC, and a HEIC turned a quarter by an added irot box.
"$convert" "$crop" "$work/crop.png"
heif-enc -q 90 -o "$data/heif/photo.heic" "$work/crop.png" >/dev/null
heif-enc -A -q 90 -o "$data/avif/photo.avif" "$work/crop.png" >/dev/null
python3 "$data/heif-add-property.py" "$data/heif/photo.heic" "$data/heif/rotated.heic" irot
# Every item a HEIF or AVIF carries: EXIF (Orientation 6, which HEIF viewers ignore) and XMP, which heif-enc
# copies from a PNG, and an RGB profile (the one in a Pillow JPEG), which it does not.
exiftool -q -q -b -ICC_Profile "$data/jpeg/pillow/truncated_app14.jpg" >"$work/rgb.icc"
cp "$work/crop.png" "$work/metadata.png"
exiftool -q -q -overwrite_original -Orientation#=6 -XMP-dc:Title=hippopotamus "$work/metadata.png"
heif-enc -q 90 -o "$work/metadata.heic" "$work/metadata.png" >/dev/null
python3 "$data/heif-add-property.py" "$work/metadata.heic" "$data/heif/metadata.heic" "$work/rgb.icc"
heif-enc -A -q 90 -o "$work/metadata.avif" "$work/metadata.png" >/dev/null
python3 "$data/heif-add-property.py" "$work/metadata.avif" "$data/avif/metadata.avif" "$work/rgb.icc"
"$convert" "$crop" -depth 16 "PNG48:$work/crop16.png"
# 10 bits through x265: Debian 12's libaom asserts on 10-bit input from heif-enc.
heif-enc -b 10 -q 90 -o "$data/heif/photo10.heic" "$work/crop16.png" >/dev/null
for file in heif/photo.heic avif/photo.avif heif/rotated.heic heif/photo10.heic; do
    heif-convert "$data/$file" "$work/${file#*/}.png" >/dev/null
    decode "$work/${file#*/}.png" "$ref/$file.rgb"
done
# JPEG XL: cjxl's lossless files at 8 and 16 bits, with alpha, grey, an animation of two frames and
# lossy; then, by a small program over libjxl (cjxl sets neither), one with an orientation of 6, an
# RGB profile and EXIF and XMP boxes compressed with Brotli. cjxl is fed netpbm files, which carry no
# colour space: the files say sRGB. Decoded by djxl, the library's own tool.
mkdir -p "$data/jxl" "$ref/jxl"
"$convert" "$crop" "$work/crop.ppm"
"$convert" "$crop" -depth 16 -evaluate add 0.1% "$work/crop16.ppm"
"$convert" "$work/alpha.png" "$work/alpha.pam"
"$convert" "$crop" -colorspace Gray "$work/grey.pgm"
"$convert" "$crop" -flop "$work/second.ppm"
"$convert" -delay 10 "$work/crop.ppm" -delay 25 "$work/second.ppm" -loop 3 "$work/animated.gif"
while IFS='|' read -r file source options; do
    eval "cjxl \"\$work/\$source\" \"\$data/jxl/\$file\" $options" >/dev/null 2>&1
    djxl "$data/jxl/$file" "$work/$file.png" >/dev/null 2>&1
    decode "$work/$file.png" "$ref/jxl/$file.rgb"
done <<'VARIANTS'
lossless8.jxl|crop.ppm|-d 0
lossless16.jxl|crop16.ppm|-d 0
alpha.jxl|alpha.pam|-d 0
grey.jxl|grey.pgm|-d 0
lossy.jxl|crop.ppm|-q 75
animated.jxl|animated.gif|-d 0
VARIANTS
head -c "$(($(wc -c <"$data/jxl/lossy.jxl") / 2))" "$data/jxl/lossy.jxl" >"$data/jxl/truncated.jxl"
cat >"$work/orient.c" <<'C'
#include <jxl/encode.h>
#include <stdio.h>
#include <stdlib.h>
// orient RGB(35x27) ICC OUT: lossless, orientation 6, Brotli-compressed Exif (Orientation 6) and xml boxes.
int main(int argc, char **argv) {
    static uint8_t rgb[35 * 27 * 3], icc[1 << 16];
    FILE *f = fopen(argv[1], "rb");
    size_t got = fread(rgb, 1, sizeof rgb, f);
    fclose(f);
    f = fopen(argv[2], "rb");
    size_t iccSize = fread(icc, 1, sizeof icc, f);
    fclose(f);
    static const uint8_t exif[] = {0, 0, 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 1, 18, 0, 3, 0, 0, 0, 1, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0};
    static const char xmp[] = "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
                              "<rdf:Description xmlns:dc='http://purl.org/dc/elements/1.1/' dc:title='hippopotamus'/></rdf:RDF></x:xmpmeta>";
    JxlEncoder *enc = JxlEncoderCreate(NULL);
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = 35, info.ysize = 27, info.bits_per_sample = 8, info.uses_original_profile = JXL_TRUE;
    info.orientation = JXL_ORIENT_ROTATE_90_CW;
    JxlEncoderUseBoxes(enc);
    JxlEncoderSetBasicInfo(enc, &info);
    JxlEncoderSetICCProfile(enc, icc, iccSize);
    JxlEncoderAddBox(enc, "Exif", exif, sizeof exif, JXL_TRUE);
    JxlEncoderAddBox(enc, "xml ", (const uint8_t *)xmp, sizeof xmp - 1, JXL_TRUE);
    JxlEncoderCloseBoxes(enc);
    JxlEncoderFrameSettings *settings = JxlEncoderFrameSettingsCreate(enc, NULL);
    JxlEncoderSetFrameLossless(settings, JXL_TRUE);
    JxlPixelFormat format = {3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    if (got != sizeof rgb || JxlEncoderAddImageFrame(settings, &format, rgb, sizeof rgb) != JXL_ENC_SUCCESS) return 1;
    JxlEncoderCloseInput(enc);
    static uint8_t out[1 << 20];
    uint8_t *next = out;
    size_t room = sizeof out;
    if (JxlEncoderProcessOutput(enc, &next, &room) != JXL_ENC_SUCCESS) return 1;
    f = fopen(argv[3], "wb");
    fwrite(out, 1, (size_t)(next - out), f);
    fclose(f);
    JxlEncoderDestroy(enc);
    return 0;
}
C
cc -O2 -o "$work/orient" "$work/orient.c" $(pkg-config --cflags --libs libjxl)
exiftool -q -q -b -ICC_Profile "$data/jpeg/pillow/truncated_app14.jpg" >"$work/rgb.icc"
"$convert" "$crop" -depth 8 "rgb:$work/crop.rgb"
"$work/orient" "$work/crop.rgb" "$work/rgb.icc" "$data/jxl/metadata.jxl"
# TGA with a right origin (descriptor bit 4): four of Pillow's pictures, raw and run-length at 24
# and 32 bits, each row stored right to left. Each holds its source's picture, which ImageMagick 6
# (it ignores the bit) cannot tell; run-length rows are coded afresh, packets ending at each row.
python3 - "$data/tga" <<'PYTHON'
import sys
tga = sys.argv[1]
for source, name, origin in (("200x32_rgb_bl_raw", "200x32_rgb_br_raw", 0x10), ("200x32_rgb_tl_rle", "200x32_rgb_tr_rle", 0x30),
                             ("200x32_rgba_tl_raw", "200x32_rgba_tr_raw", 0x30), ("200x32_rgba_bl_rle", "200x32_rgba_br_rle", 0x10)):
    d = open(f"{tga}/pillow/common/{source}.tga", "rb").read()
    w, h, size, rle = d[12] | d[13] << 8, d[14] | d[15] << 8, d[16] // 8, d[2] == 10
    at, pixels = 18 + d[0], []
    while len(pixels) < w * h:
        count = (d[at] & 0x7F) + 1 if rle else 1
        if rle and d[at] & 0x80:
            pixels += [d[at + 1:at + 1 + size]] * count
            at += 1 + size
        else:
            at += 1 if rle else 0
            pixels += [d[at + i * size:at + (i + 1) * size] for i in range(count)]
            at += count * size
    body = b""
    for y in range(h):
        row = pixels[y * w:(y + 1) * w][::-1]
        x = 0
        while x < w:
            if not rle:
                body, x = body + row[x], x + 1
                continue
            n = 1
            while n < 128 and x + n < w and row[x + n] == row[x]:
                n += 1
            if n == 1:
                while n < 128 and x + n < w and (x + n + 1 >= w or row[x + n] != row[x + n + 1]):
                    n += 1
                body += bytes([n - 1]) + b"".join(row[x:x + n])
            else:
                body += bytes([0x80 | (n - 1)]) + row[x]
            x += n
    head = bytearray(d[:18 + d[0]])
    head[17] = head[17] & ~0x30 | origin
    open(f"{tga}/own/{name}.tga", "wb").write(bytes(head) + body + d[at:])
PYTHON
# PAM: the half-transparent picture as 16-bit grey with alpha.
mkdir -p "$data/pnm/own"
"$convert" "$work/alpha.png" -colorspace Gray -depth 16 "$data/pnm/own/grey-alpha16.pam"
# The half-transparent picture, its decode with alpha: raw RGBA, one byte a sample.
heif-enc -q 90 -o "$data/heif/alpha.heic" "$work/alpha.png" >/dev/null
heif-convert "$data/heif/alpha.heic" "$work/alpha.heic.png" >/dev/null
"$convert" "$work/alpha.heic.png" -depth 8 "rgba:$ref/heif/alpha.heic.rgba"
# A collection of two images, the crop (the primary) and its mirror image, which is not read;
# heif-convert writes each, the primary first.
heif-enc -q 90 -o "$data/heif/two-images.heic" "$work/crop.png" "$work/second.png" >/dev/null
heif-convert "$data/heif/two-images.heic" "$work/two.png" >/dev/null
decode "$work/two-1.png" "$ref/heif/two-images.heic.rgb"
head -c "$(($(wc -c <"$data/heif/photo.heic") / 2))" "$data/heif/photo.heic" >"$data/heif/truncated.heic"

# Bombs: small files claiming 26000 x 26000 pixels, for the pixel limit.
regress=$data/regress
python3 - "$regress/tiff-claims-26000x26000.tif" <<'PYTHON'
import struct, sys
tags = [(256, 4, 26000), (257, 4, 26000), (258, 3, 8), (259, 3, 1), (262, 3, 2), (273, 4, 0), (277, 3, 3),
        (278, 4, 1), (279, 4, 78000)]
start = 8 + 2 + 12 * len(tags) + 4
ifd = struct.pack("<H", len(tags))
for tag, kind, value in tags:
    value = start if tag == 273 else value
    ifd += struct.pack("<HHI", tag, kind, 1) + (struct.pack("<HH", value, 0) if kind == 3 else struct.pack("<I", value))
open(sys.argv[1], "wb").write(b"II*\0" + struct.pack("<I", 8) + ifd + b"\0\0\0\0" + b"tiny")
PYTHON
# WebP: a still picture holds at most 16383 x 16383, an animation's canvas more: one 1 x 1 frame.
# The same at 16383 x 16383 loads: the animation decoder took 2.9 GB for it.
"$convert" -size 1x1 xc:red "$work/dot.png"
cwebp -quiet -lossless "$work/dot.png" -o "$work/dot.webp"
for canvas in 26000:webp-claims-26000x26000 16383:webp-canvas-16383x16383-around-1x1-frame; do
    python3 - "$work/dot.webp" "$regress/${canvas#*:}.webp" "${canvas%%:*}" <<'PYTHON'
import struct, sys
dot = open(sys.argv[1], "rb").read()
side = int(sys.argv[3])
vp8l = dot[12:]  # the VP8L chunk whole
u24 = lambda v: struct.pack("<I", v)[:3]
chunk = lambda kind, body: kind + struct.pack("<I", len(body)) + body + (b"\0" if len(body) % 2 else b"")
frame = u24(0) + u24(0) + u24(0) + u24(0) + u24(100) + b"\0" + vp8l
body = b"WEBP" + chunk(b"VP8X", b"\x02\0\0\0" + u24(side - 1) + u24(side - 1)) + chunk(b"ANIM", b"\0" * 6) + chunk(b"ANMF", frame)
open(sys.argv[2], "wb").write(b"RIFF" + struct.pack("<I", len(body)) + body)
PYTHON
done
# HEIF and AVIF: the photo with its image spatial extent (ispe) rewritten.
for file in heif/photo.heic:heif-claims-26000x26000.heic avif/photo.avif:avif-claims-26000x26000.avif; do
python3 - "$data/${file%%:*}" "$regress/${file#*:}" <<'PYTHON'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
# The primary image is a grid of coded tiles; its own extent is the last ispe box.
at = data.rindex(b"ispe") + 8  # past the box type, version and flags
struct.pack_into(">II", data, at, 26000, 26000)
open(sys.argv[2], "wb").write(data)
PYTHON
done
# JPEG XL: a bare codestream whose size header says 26000 x 26000, written bit by bit (the format's
# bits go least significant first), with default metadata and no frame.
python3 - "$regress/jxl-claims-26000x26000.jxl" <<'PYTHON'
import sys
bits = []
def put(value, count):
    bits.extend((value >> i) & 1 for i in range(count))
put(0, 1)                   # not a small size
put(2, 2); put(25999, 18)   # height - 1 in 18 bits
put(0, 3)                   # no aspect ratio: the width follows
put(2, 2); put(25999, 18)   # width - 1
put(1, 1)                   # all metadata default
bits += [0] * (-len(bits) % 8)
body = bytes(sum(bits[i + k] << k for k in range(8)) for i in range(0, len(bits), 8))
open(sys.argv[1], "wb").write(b"\xff\x0a" + body + bytes(16))
PYTHON
