#!/bin/sh
# Fails when a tracked C or C++ source or header differs from what clang-format makes of it with the
# repository's .clang-format, and lists those files. Reads the files only: no build, nothing rewritten.
# Fix with: git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format -i
# Usage: sh scripts/check-format.sh [FILE ...]   (no FILE: every tracked source and header)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
format=${CLANG_FORMAT:-clang-format}

if ! command -v "$format" >/dev/null 2>&1; then
    sh "$root/scripts/install-deps.sh" format
fi
[ -f .clang-format ] || { echo "check-format: no .clang-format in $root" >&2; exit 2; }
# A broken style file would otherwise show up as every file differing.
"$format" --style=file --dump-config >/dev/null </dev/null || {
    echo "check-format: $format cannot read .clang-format" >&2
    exit 2
}

list=$(mktemp)
differ=$(mktemp)
trap 'rm -f "$list" "$differ"' EXIT INT TERM
if [ $# -gt 0 ]; then
    printf '%s\n' "$@" >"$list"
else
    git ls-files -- '*.cpp' '*.h' '*.c' >"$list"
fi

checked=0
while IFS= read -r file; do
    checked=$((checked + 1))
    # --Werror turns "code should be clang-formatted" into a failing exit status.
    if ! "$format" --style=file --dry-run --Werror --ferror-limit=1 "$file" >/dev/null 2>&1; then
        echo "$file" >>"$differ"
    fi
done <"$list"

if [ -s "$differ" ]; then
    echo "check-format: $(wc -l <"$differ") of $checked files differ from .clang-format ($("$format" --version)):"
    sed 's/^/  /' "$differ"
    echo "check-format: see the differences with: $format --style=file --dry-run FILE"
    exit 1
fi
echo "check-format: $checked files follow .clang-format"
