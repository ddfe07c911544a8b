#!/bin/sh
# One whole exchange on the sample picture: the template module waits in its folder in the
# background, the host hands it the picture, and the half-turned result is left in demo/out/.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
bin="$root/${1:-build}/bin"
[ -x "$bin/corvane" ] || { echo "host not built yet"; exit 1; }

out="$root/demo/out"
rm -rf "$out"
mkdir -p "$out/template"
cp "$root/demo/sample.bmp" "$out/sample.bmp"

(cd "$out/template" && exec timeout 30 "$bin/template") > "$out/template.log" 2>&1 &
module=$!
trap 'kill $module 2>/dev/null || true' EXIT INT TERM

cd "$out"
status=0
timeout 30 "$bin/corvane" template sample.bmp turned.bmp || status=$?
echo
wait $module 2>/dev/null || true
trap - EXIT INT TERM

echo "module said: $(tr '\n' ' ' < "$out/template.log")"
if [ "$status" -ne 0 ]; then
    echo "demo failed (host exit code $status)"
    exit 1
fi
echo "The turned picture is demo/out/turned.bmp (input: demo/out/sample.bmp)"
