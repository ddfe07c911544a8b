#!/bin/sh
# Runs the fuzz programs for a bounded time each, seeded from the test data and fuzz/corpus.
# Usage: sh scripts/fuzz.sh BUILD_DIR [SECONDS] [TARGET ...]  (targets: exchange serialize exif, and
#        the formats' fuzz programs, which `sh scripts/format-list.sh fuzz` lists: bmp tga png picture ...)
# New corpus entries, crash inputs and logs go to $CORVANE_FUZZ_WORK or a new temporary folder, never
# into the repository. Exits 1 when any target found a crash; keep its input in tests/data/regress/.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [SECONDS] [TARGET ...]" >&2; exit 2; }
build=$1
seconds=${2:-60}
shift $(( $# >= 2 ? 2 : 1 ))
case $build in /*) ;; *) build=$root/$build ;; esac
# One line per format program: its name and the extensions of its seeds.
format_targets=$(sh "$root/scripts/format-list.sh" fuzz)
targets=${*:-exchange serialize exif $(printf '%s\n' "$format_targets" | cut -d ' ' -f 1)}
work=${CORVANE_FUZZ_WORK:-$(mktemp -d "${TMPDIR:-/tmp}/corvane-fuzz.XXXXXX")}

# File name patterns of each target's seeds.
patterns() {
    case $1 in
        exchange) echo '*.xml' ;;
        serialize) echo '*.rec' ;;
        exif) echo '*.exif' ;;
        *)
            extensions=$(printf '%s\n' "$format_targets" | awk -v target="$1" '$1 == target { $1 = ""; print }')
            [ -n "$extensions" ] || { echo "fuzz: unknown target $1" >&2; exit 2; }
            for extension in $extensions; do printf '*.%s ' "$extension"; done
            echo
            ;;
    esac
}

# Copies the seeds flat into one folder; a number in front keeps equal names from different sources apart.
collect_seeds() {
    mkdir -p "$2"
    for pattern in $(patterns "$1"); do
        find "$root/tests/data" "$root/fuzz/corpus" -type f -iname "$pattern"
    done | awk '{ print NR "\t" $0 }' | while IFS="$(printf '\t')" read -r n path; do
        cp "$path" "$2/$n-$(basename "$path")"
    done
}

# Leaks found inside the libraries are known and reported; ours must still show.
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$root/fuzz/lsan-suppressions.txt}"
failed=""
for target in $targets; do
    program=$build/fuzz/fuzz_$target
    [ -x "$program" ] || { echo "fuzz: $program missing; build with -DCORVANE_FUZZ=ON and clang" >&2; exit 2; }
    dir=$work/$target
    rm -rf "$dir/seeds"
    mkdir -p "$dir/corpus" "$dir/crashes"
    collect_seeds "$target" "$dir/seeds"
    dict=""
    [ "$target" = exchange ] && dict="-dict=$root/fuzz/exchange.dict"
    echo "fuzz: $target for ${seconds}s ($(find "$dir/seeds" -type f | wc -l) seeds), log in $dir/log"
    # shellcheck disable=SC2086
    if ! "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$dir/crashes/" $dict "$dir/corpus" "$dir/seeds" >"$dir/log" 2>&1; then
        failed="$failed $target"
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log")
    echo "fuzz: $target: ${runs:-?} runs, crash inputs: $(find "$dir/crashes" -type f | wc -l)"
done

if [ -n "$failed" ]; then
    echo "fuzz: findings in$failed; inputs under $work/*/crashes" >&2
    exit 1
fi
echo "fuzz: no findings; corpus and logs in $work"
