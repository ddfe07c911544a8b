#!/bin/bash
# Runs every picture of the test data and the shared corpus through two builds' host with their
# `template`, into each writable format, as a version 1 run and with --alpha --depth 16, and
# compares what each run printed and wrote, byte for byte. A refactor that changes no behaviour
# must report no difference.
#   usage: scripts/compare-runs.sh BIN_DIR_BEFORE BIN_DIR_AFTER [PICTURE_DIR ...]
#   (default picture folders: tests/data and ../shared/corpus; OUTPUTS="tga webp" compares only
#   those outputs, for a change that touches only their writers)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
before=$(cd "$1" && pwd)
after=$(cd "$2" && pwd)
shift 2
[ $# -gt 0 ] || set -- "$root/tests/data" "$root/../shared/corpus"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
outputs=${OUTPUTS:-$(sh "$root/scripts/format-list.sh" written)}

# One run in a folder of its own: the host's output with the folder's path taken out, then the
# output file's bytes' checksum (or "none").
run() { # BIN INPUT EXT OPTIONS...
    local bin=$1 input=$2 ext=$3
    shift 3
    local dir="$work/run"
    rm -rf "$dir" && mkdir -p "$dir/ex"
    (cd "$dir/ex" && exec "$bin/template" --timeout 60 >/dev/null 2>&1) &
    local module=$!
    (cd "$dir" && "$bin/corvane" -q --timeout 60 "$@" ex "$input" "out.$ext" 2>&1; echo "exit $?") |
        sed "s#$dir/##g"
    # A host that refused before the exchange leaves the module waiting for its --timeout, a minute
    # so that the largest pictures (2 GB documents) finish on either build.
    kill "$module" 2>/dev/null || true
    wait "$module" 2>/dev/null || true
    if [ -f "$dir/out.$ext" ]; then sha256sum <"$dir/out.$ext" | cut -c1-16; else echo none; fi
}

compared=0
differed=0
names=()
for extension in $(sh "$root/scripts/format-list.sh" extensions); do names+=(-o -iname "*.$extension"); done
find "$@" -type f \( "${names[@]:1}" \) | sort >"$work/pictures"
while read -r picture; do
    for ext in $outputs; do
        for options in "" "--alpha --depth 16"; do
            # shellcheck disable=SC2086
            a=$(run "$before" "$picture" "$ext" $options)
            # shellcheck disable=SC2086
            b=$(run "$after" "$picture" "$ext" $options)
            compared=$((compared + 1))
            if [ "$a" != "$b" ]; then
                differed=$((differed + 1))
                echo "DIFFERS: ${picture#"$root"/} -> .$ext ${options:-(version 1)}"
                diff <(echo "$a") <(echo "$b") | sed 's/^/    /' || true
            fi
        done
    done
done <"$work/pictures"
echo "$compared runs compared, $differed differ"
[ "$differed" -eq 0 ]
