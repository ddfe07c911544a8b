#!/bin/sh
# Makes the committed reference decodes once, with Debian's ImageMagick 6 (/usr/bin/convert), so
# that the pixel checks never need ImageMagick at test time. Run from anywhere:
#   sh tests/data/reference/make-references.sh
# Each FILE.rgb holds raw RGB rows, top row first, one byte a sample: the top byte of ImageMagick's
# 16-bit sample (`convert FILE -depth 16 -endian MSB rgb:-`, every other byte kept), which is what
# the tests widen narrow channels from; for PNG and PNM, whose samples above 8 bits are narrowed
# with rounding, that sample rounded to 8 bits instead (the same for samples of 8 bits or fewer).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
data=$(dirname "$here")
convert=/usr/bin/convert

# decode SOURCE OUTPUT [OPTIONS...]
decode() {
    input=$1 output=$2
    shift 2
    mkdir -p "$(dirname "$output")"
    "$convert" "$input" "$@" -depth 16 -endian MSB rgb:- 2>/dev/null |
        python3 -c 'import sys; sys.stdout.buffer.write(sys.stdin.buffer.read()[0::2])' >"$output"
}

# The same with each 16-bit sample narrowed by rounding, (v * 255 + 32767) / 65535.
decode_rounded() {
    input=$1 output=$2
    shift 2
    mkdir -p "$(dirname "$output")"
    "$convert" "$input" "$@" -depth 16 -endian MSB rgb:- 2>/dev/null |
        python3 -c 'import sys; b = sys.stdin.buffer.read()
sys.stdout.buffer.write(bytes(((b[i] << 8 | b[i + 1]) * 255 + 32767) // 65535 for i in range(0, len(b), 2)))' >"$output"
}

# BMP, TGA and PNG files of the corpus that load. Left out: the pictures CorpusTest compares with a
# twin or not at all, and the large bricks-color photo (BMP and TGA), whose two readers are held
# to each other instead.
skip='bmp/bmpsuite/b/badplanes.bmp bmp/bmpsuite/b/badfilesize.bmp bmp/bmpsuite/b/badpalettesize.bmp
bmp/bmpsuite/q/pal8oversizepal.bmp bmp/bmpsuite/q/pal8os2v2.bmp bmp/bmpsuite/q/pal8os2v2-sz.bmp
bmp/bmpsuite/q/pal8os2v2-40sz.bmp tga/pillow/common/200x32_la_bl_raw.tga tga/pillow/common/200x32_la_bl_rle.tga
tga/pillow/common/200x32_la_tl_raw.tga tga/pillow/common/200x32_la_tl_rle.tga bmp/bmpsuite/b/shortfile.bmp
bmp/bmpsuite/b/pal8badindex.bmp bmp/pillow/mmap_error.bmp tga/pillow/la.tga
bmp/wuffs/bricks-color.bmp tga/wuffs/bricks-color.tga'
grep -v '^#' "$data/outcomes.tsv" | awk -F'\t' '$2 == "load" && $1 ~ /\.(bmp|tga|png)$/ { print $1 }' |
    while read -r file; do
        case " $(echo $skip) " in *" $file "*) continue ;; esac
        # A PNG gamma of 1.0 would be converted to sRGB on output; the codecs keep samples as stored.
        case "$file" in *.png) decode_rounded "$data/$file" "$here/$file.rgb" -set colorspace sRGB -auto-orient ;;
                        *) decode "$data/$file" "$here/$file.rgb" -auto-orient ;;
        esac
    done

# JPEG and GIF files the picture decoder is compared on: the first frame, as stored.
for file in jpeg/libjpeg-turbo/testorig.jpg jpeg/libjpeg-turbo/testimgp.jpg jpeg/libjpeg-turbo/testimggray.jpg \
    jpeg/libjpeg-turbo/testimgari.jpg jpeg/wuffs/peacock.s1x3.jpeg jpeg/wuffs/hippopotamus.jpeg \
    jpeg/pillow/pil_sample_cmyk.jpg gif/giflib/fire.gif gif/peterdn/animated_loop.gif \
    gif/wuffs/animated-red-blue.gif gif/wuffs/hippopotamus.interlaced.gif; do
    decode "$data/$file[0]" "$here/$file.rgb"
done

# BMP, TGA and PNG variants of a 35 x 27 corner of the hippopotamus written by ImageMagick, and their
# decodes. Each line: file name, then ImageMagick's options and output prefix.
crop="$data/bmp/wuffs/hippopotamus.bmp[35x27+0+0]"
mkdir -p "$here/oracle"
while IFS='|' read -r file options; do
    gap=' '
    case "$options" in '' | *:) gap='' ;; esac
    eval "$convert \"\$crop\" $options$gap\"\$here/oracle/\$file\""
    case "$file" in core.bmp) continue ;; *.png) decode_rounded "$here/oracle/$file" "$here/oracle/$file.rgb" -set colorspace sRGB -auto-orient ;;
                    *) decode "$here/oracle/$file" "$here/oracle/$file.rgb" -auto-orient ;;
    esac
done <"$here/oracle-variants.txt"

# Files our BMP and TGA writers wrote, kept by the codec tests when run with
# CORVANE_KEEP_WRITTEN=tests/data/reference/written build/tests/bin/codecs_tests --gtest_filter=Oracle.*
for file in "$here"/written/*.bmp "$here"/written/*.tga; do
    [ -f "$file" ] && decode "$file" "$file.rgb" -auto-orient
done

# PNM files: samples narrowed to 8 bits with rounding, (v * 255 + 32767) / 65535, as the PNM reader
# scales every maxval (for 8-bit files that is the sample itself).
for file in $(grep -v '^#' "$data/outcomes.tsv" | awk -F'\t' '$2 == "load" && $1 ~ /\.(pbm|pgm|ppm)$/ { print $1 }'); do
    decode_rounded "$data/$file" "$here/$file.rgb"
done
