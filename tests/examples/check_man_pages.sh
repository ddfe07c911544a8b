#!/bin/sh
# Every manual page must render with groff's warnings all on and print nothing; 77 (skipped) without groff.
set -u
dir=$1
command -v groff >/dev/null 2>&1 || { echo "groff is not installed"; exit 77; }

status=0
count=0
for page in "$dir"/*.[1-9]; do
    [ -f "$page" ] || continue
    count=$((count + 1))
    warnings=$(groff -ww -z -man "$page" 2>&1)
    if [ -n "$warnings" ]; then
        echo "$page:"
        echo "$warnings"
        status=1
    fi
done
[ "$count" -ge 4 ] || { echo "expected the four manual pages in $dir, found $count"; exit 1; }
echo "$count manual pages render without warnings"
exit $status
