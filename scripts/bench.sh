#!/bin/bash
# Benchmarks: exchange parse/transform/write, the host's phases, whole exchanges between host and
# module processes next to ImageMagick doing the same work, JPEG decoding, and the Python module
# kit against plain file reads and writes.
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
if command -v python3 >/dev/null 2>&1; then
    python3 "$root/bench/python_kit_bench.py" 5
fi
exit 0
