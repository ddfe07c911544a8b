#!/bin/sh
# Reads the format list, codecs/framework/formats.def, for the scripts that go through every format.
# Usage: sh scripts/format-list.sh extensions|written|fuzz
#   extensions  every extension, one a line, in list order
#   written     the first extension of each form written (ppm for PPM, pam for PAM), one a line
#   fuzz        a line per fuzz program of the formats: its name, then the extensions it reads
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
case ${1:-} in
    extensions | written | fuzz) ;;
    *) echo "usage: $0 extensions|written|fuzz" >&2; exit 2 ;;
esac
awk -v what="$1" '
    /^FORMAT\(/ {
        target = $0
        sub(/^FORMAT\(/, "", target)
        sub(/\).*/, "", target)
        extensions = ""
    }
    /^[ \t]+EXTENSION\(/ {
        extension = $0
        sub(/^[^"]*"/, "", extension)
        sub(/".*/, "", extension)
        extensions = extensions " " extension
        if (what == "extensions") print extension
        if (what == "written" && match($0, /WRITTEN_AS\("[^"]*"\)/)) {
            form = substr($0, RSTART + 12, RLENGTH - 14)
            if (!(form in written)) print extension
            written[form] = 1
        }
    }
    /^[ \t]+FUZZ\(/ {
        target = $0
        sub(/^[ \t]+FUZZ\(/, "", target)
        sub(/,.*/, "", target)
    }
    /^END_FORMAT/ {
        if (!(target in reads)) order[++programs] = target
        reads[target] = reads[target] extensions
    }
    END {
        if (what == "fuzz")
            for (i = 1; i <= programs; ++i) print order[i] reads[order[i]]
    }
' "$root/codecs/framework/formats.def"
