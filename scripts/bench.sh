#!/bin/bash
# Benchmarks: exchange parse/transform/write, the host's phases, whole exchanges between host and
# module processes next to ImageMagick doing the same work, a half turn stage by stage beside each
# stage's floor and whole next to libvips and ImageMagick (JPEG, PNG, HEIC to JPEG, and a 16-bit
# PNG with alpha through a version 2 document, a quarter turn through examples/quarter-turn.c, and a
# 100-frame GIF with --frames all), JPEG decoding,
# PNG and JPEG saving and PNG loading next to ImageMagick and cjpeg, WebP, TIFF and HEIC next to a
# driver calling their libraries, their tools and ImageMagick, the Python module kit against plain
# file calls, and corvane-batch over 20 photographs next to mogrify and a hand-written loop.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
bin="$root/${1:-build}/bin"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
TIMEFORMAT='cpu %U s user + %S s system, wall %R s'

[ -x "$bin/exchange_bench" ] && "$bin/exchange_bench"
[ -x "$bin/codecs_bench" ] && "$bin/codecs_bench" "$work"
"$bin/host_bench" 12 "$work"
python3 "$root/bench/exchange_vs_imagemagick.py" "$bin" 5
if [ -x /usr/bin/convert ] && [ -x "$bin/stage_bench" ] && command -v vips >/dev/null 2>&1 &&
    command -v cjpeg >/dev/null 2>&1 && command -v heif-enc >/dev/null 2>&1; then
    echo "Half turn of a 12-megapixel photo-like picture, stage by stage, then whole ($(uptime)):"
    stages="$work/stages"
    mkdir -p "$stages"
    /usr/bin/convert -size 4000x3000 plasma:fractal -seed 7 -depth 8 "$stages/photo.png"
    /usr/bin/convert "$stages/photo.png" -quality 92 "$stages/photo.jpg"
    heif-enc -q 90 -o "$stages/photo.heic" "$stages/photo.png" >/dev/null
    for pair in photo.jpg:jpg photo.png:png photo.heic:jpg; do
        "$bin/stage_bench" 7 "$stages/${pair%:*}" "${pair#*:}" "$stages"
    done
    # Version 2: the same picture with alpha, at 16 bits a sample, kept whole on both sides (PNG64:
    # because ImageMagick writes the 8 bits its source had otherwise).
    /usr/bin/convert "$stages/photo.png" -alpha set -channel A -fx 'i / w' +channel -depth 16 \
        "PNG64:$stages/photo16a.png"
    python3 "$root/bench/whole_run_vs_peers.py" "$bin" 7 "$stages" photo.jpg:jpg photo.png:png photo.heic:jpg \
        photo16a.png:png:--alpha,--depth,16
    # A quarter turn through the C example, and an animation of 100 frames of 500 x 500 (each its
    # own colours) through template, every frame kept.
    cc -O2 -o "$stages/quarter-turn" "$root/examples/quarter-turn.c"
    /usr/bin/convert "$stages/photo.png" -resize 1000x1000^ -gravity center -extent 1000x1000 "$stages/square.png"
    frames=()
    for frame in $(seq 0 99); do
        frames+=("(" "$stages/square.png" -crop "500x500+$((frame * 5))+$((frame * 3))" +repage -colors 256 ")")
    done
    /usr/bin/convert -delay 4 -loop 0 "${frames[@]}" "$stages/anim.gif"
    python3 "$root/bench/whole_run_vs_peers.py" "$bin" 7 "$stages" photo.jpg:jpg::90 anim.gif:gif:--frames,all
    # The AV1, HEVC and JPEG XL encoders take seconds a round: three rounds.
    command -v avifenc >/dev/null 2>&1 &&
        python3 "$root/bench/encoders_vs_peers.py" "$bin" 3 "$stages" photo.jpg avif heic
    command -v cjxl >/dev/null 2>&1 &&
        python3 "$root/bench/encoders_vs_peers.py" "$bin" 3 "$stages" photo.jpg jxl
fi
if [ -x /usr/bin/convert ] && [ -x "$bin/picture_bench" ]; then
    echo "JPEG decoding, 12 megapixels (quality 90):"
    /usr/bin/convert -size 4000x3000 plasma:fractal -seed 7 -quality 90 "$work/photo.jpg"
    "$bin/picture_bench" "$work/photo.jpg" | sed 's/^/  corvane: /'
    if command -v djpeg >/dev/null 2>&1; then
        for round in 1 2 3; do
            (time djpeg -bmp -outfile /dev/null "$work/photo.jpg") 2>&1 | sed 's/^/  djpeg -bmp: /'
        done
    fi
fi

# Median wall time in milliseconds of five runs of a command.
median_ms() {
    for round in 1 2 3 4 5; do
        start=$(date +%s%N)
        "$@" >/dev/null 2>&1
        echo $(( ($(date +%s%N) - start) / 1000000 ))
    done | sort -n | sed -n 3p
}

if [ -x /usr/bin/convert ] && [ -x "$bin/codecs_bench" ]; then
    echo "PNG and JPEG, 12 megapixels, medians of 5 runs:"
    /usr/bin/convert -size 4000x3000 plasma:fractal -seed 7 "BMP3:$work/photo.bmp"
    /usr/bin/convert -size 4000x3000 xc: -seed 7 +noise Random "BMP3:$work/noise.bmp"
    for picture in photo noise; do
        echo " $picture:"
        "$bin/codecs_bench" --formats "$work/$picture.bmp" "$work"
        ms=$(median_ms /usr/bin/convert "$work/$picture.bmp" "$work/im.png")
        printf '  %-22s %7d ms  %10d bytes\n' "convert IN.bmp OUT.png" "$ms" "$(stat -c %s "$work/im.png")"
        printf '  %-22s %7d ms\n' "convert OUT.png null:" "$(median_ms /usr/bin/convert "$work/corvane.png" null:)"
        if command -v cjpeg >/dev/null 2>&1; then
            ms=$(median_ms cjpeg -quality 92 -sample 1x1 -outfile "$work/cjpeg.jpg" "$work/$picture.bmp")
            printf '  %-22s %7d ms  %10d bytes\n' "cjpeg -quality 92 1x1" "$ms" "$(stat -c %s "$work/cjpeg.jpg")"
        fi
    done
fi
if [ -x /usr/bin/convert ] && [ -x "$bin/formats_bench" ]; then
    echo "WebP, TIFF and HEIC, 12 megapixels, medians of 5 runs (the library driver is the reference):"
    [ -f "$work/photo.bmp" ] || /usr/bin/convert -size 4000x3000 plasma:fractal -seed 7 "BMP3:$work/photo.bmp"
    /usr/bin/convert "$work/photo.bmp" "$work/photo.png"
    heic=$work/photo.heic
    # The same picture was encoded above for the stage table; encoding 12 MP takes the longest here.
    if [ -f "$work/stages/photo.heic" ]; then
        cp "$work/stages/photo.heic" "$heic"
    elif command -v heif-enc >/dev/null 2>&1; then
        heif-enc -q 90 -o "$heic" "$work/photo.png" >/dev/null
    fi
    "$bin/formats_bench" "$work/photo.bmp" "$heic" "$work"
    tool() { printf '  %-34s %7d ms\n' "$1" "$(shift; median_ms "$@")"; }
    if command -v cwebp >/dev/null 2>&1; then
        tool "cwebp -q 92 IN.png" cwebp -q 92 "$work/photo.png" -o "$work/cwebp.webp"
        tool "dwebp IN.webp -ppm" dwebp "$work/corvane.webp" -ppm -o "$work/dwebp.ppm"
    fi
    if command -v tiffcp >/dev/null 2>&1; then
        tool "tiffcp -c zip:2 (decode + encode)" tiffcp -c zip:2 "$work/corvane.tif" "$work/tiffcp.tif"
    fi
    command -v heif-convert >/dev/null 2>&1 && [ -f "$heic" ] &&
        tool "heif-convert IN.heic OUT.y4m" heif-convert "$heic" "$work/heif.y4m"
    tool "convert IN.bmp -quality 92 OUT.webp" /usr/bin/convert "$work/photo.bmp" -quality 92 "$work/im.webp"
    tool "convert IN.webp null:" /usr/bin/convert "$work/corvane.webp" null:
    tool "convert IN.bmp -compress zip OUT.tif" /usr/bin/convert "$work/photo.bmp" -compress zip "$work/im.tif"
    tool "convert IN.tif null:" /usr/bin/convert "$work/corvane.tif" null:
    [ -f "$heic" ] && tool "convert IN.heic null:" /usr/bin/convert "$heic" null:
fi
if command -v python3 >/dev/null 2>&1; then
    python3 "$root/bench/python_kit_bench.py" 5
fi

# The loop a user would write by hand: start the module, run the host, once per picture.
hand_loop() {
    mkdir -p "$work/loop/template"
    for picture in "$work"/photos/*.jpg; do
        (cd "$work/loop/template" && exec "$bin/template") &
        (cd "$work/loop" && "$bin/corvane" template "$picture" "turned-$(basename "$picture")")
        wait
    done
}

if [ -x /usr/bin/convert ] && [ -x /usr/bin/mogrify ] && [ -x "$bin/corvane-batch" ]; then
    echo "20 pictures of 1600 x 1200 (JPEG) turned by half a turn, medians of 5 runs:"
    mkdir -p "$work/photos" "$work/copies"
    for i in $(seq 1 20); do
        /usr/bin/convert -size 1600x1200 plasma:fractal -seed "$i" -quality 90 "$work/photos/photo$i.jpg"
    done
    cp "$work"/photos/*.jpg "$work/copies/"
    for jobs in 1 2; do
        printf '  %-34s %6d ms\n' "corvane-batch --jobs $jobs (template)" \
            "$(median_ms "$bin/corvane-batch" --jobs $jobs --overwrite --module template --out "$work/batch/" \
                "$work"/photos/*.jpg)"
    done
    printf '  %-34s %6d ms\n' "mogrify -rotate 180 (on copies)" \
        "$(median_ms /usr/bin/mogrify -rotate 180 "$work"/copies/*.jpg)"
    printf '  %-34s %6d ms\n' "hand loop: module, then corvane" "$(median_ms hand_loop)"
fi
exit 0
