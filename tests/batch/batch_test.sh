#!/bin/sh
# corvane-batch with the template module beside it: exact half turns, failures that leave the
# rest done, outputs never replaced unasked or skipped when asked, the hosts' options and warnings,
# and a stop that leaves no working folder behind.
# Usage: batch_test.sh CORVANE_BATCH    (77, skipped, without ImageMagick)
set -u
batch=$1
convert=/usr/bin/convert
[ -x "$convert" ] || { echo "ImageMagick is not installed"; exit 77; }
data=$(cd "$(dirname "$0")/../data" && pwd) || exit 1
root=$(mktemp -d "${TMPDIR:-/tmp}/corvane-batch-test-XXXXXX") || exit 1
trap 'rm -rf "$root"' EXIT
cd "$root" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
leftovers() { find "$@" -name '.corvane-batch-*' 2>/dev/null | grep -q .; }

for i in 1 2 3 4 5; do "$convert" -size 9x7 plasma: -seed "$i" -depth 8 "PNG24:p$i.png"; done
pictures="p1.png p2.png p3.png p4.png p5.png"
echo "not a picture" >broken.jpg
"$convert" p1.png -orient right-top turned.tif
cp "$data/png/pngsuite/basn6a08.png" "$data/gif/giflib/fire.gif" .
cp "$data/png/pngsuite/basn0g08.png" grey.png
# No signature either: a name that gives no format is read by its content where it has one.
echo "no signature" >odd.xyz

# Each row: jobs, output folder, expected exit status, extra inputs.
while read -r jobs out status extra; do
    # shellcheck disable=SC2086
    "$batch" --jobs "$jobs" --module template --out "$out/" $pictures $extra >"$out.log" 2>&1
    [ $? -eq "$status" ] || { fail "--jobs $jobs $extra: exit status is not $status"; cat "$out.log"; }
    for i in 1 2 3 4 5; do
        [ "$("$convert" "$out/p$i.png" rgb:- | od -An -tx1)" = "$("$convert" "p$i.png" -rotate 180 rgb:- | od -An -tx1)" ] ||
            fail "--jobs $jobs: $out/p$i.png is not the half turn of p$i.png"
    done
    leftovers "$out" && fail "--jobs $jobs: a working folder is left in $out"
done <<ROWS
3 three 0
1 one 1 broken.jpg
ROWS
grep -q "broken.jpg: .*broken.jpg is damaged or not a JPEG file" one.log || fail "the failed input and the host's message are not reported"
for i in 1 2 3 4 5; do cmp -s "one/p$i.png" "three/p$i.png" || fail "--jobs 1 and --jobs 3 differ for p$i.png"; done

# An existing output stays unless --overwrite; inputs come from standard input here.
echo mine >three/p1.png
echo p1.png | "$batch" --module template --out three/ >/dev/null 2>&1
[ $? -eq 1 ] && [ "$(cat three/p1.png)" = mine ] || fail "an existing output was replaced without --overwrite"
rm three/p2.png
printf 'p1.png\np2.png\n' | "$batch" --skip-existing --module template --out three/ >skip.log 2>&1 &&
    [ "$(cat three/p1.png)" = mine ] && cmp -s one/p2.png three/p2.png && grep -q "1 of 2 .* 1 skipped" skip.log ||
    fail "--skip-existing did not keep p1.png, make p2.png and count one skipped"
echo p1.png | "$batch" --overwrite --module template --out three/ >/dev/null 2>&1 && cmp -s one/p1.png three/p1.png ||
    fail "--overwrite did not replace the output"

# Modules that end without answering fail their input instead of leaving the host waiting; a host
# that ends stops its module at once; host options go before and after the batch's own, and wrong
# ones stop the batch before it starts; what the hosts and modules say is shown whole, under the
# names the user knows. Each row: time limit, status, module, options before --module, after it
# (--out quick/ unless they name one), inputs, texts the output holds (;-separated; !: not).
while IFS='|' read -r limit status module before after inputs says; do
    rm -rf quick
    case "$before $after" in *--out*) out= ;; *) out="--out quick/" ;; esac
    # shellcheck disable=SC2086
    timeout "$limit" "$batch" $before --module "$module" $after $out $inputs >quick.log 2>&1
    [ $? -eq "$status" ] || { fail "--module '$module' $before $after $inputs: exit status is not $status"; cat quick.log; }
    leftovers quick && fail "--module '$module' $before $after $inputs: a working folder is left"
    old=$IFS IFS=';'
    for text in $says; do
        case $text in
            !*) ! grep -qF -- "${text#!}" quick.log ;;
            *) grep -qF -- "$text" quick.log ;;
        esac || { fail "$before $after $inputs: the output and \"$text\""; cat quick.log; }
    done
    IFS=$old
done <<ROWS
20|1|true|||p1.png|
20|1|until [ -e go.flag ]; do sleep 0.1; done; rm go.flag image.xml; exit 1|||p1.png|
4|1|template|||missing.png|
8|0|template; sleep 30|--jobs 1||p1.png p2.png p3.png p4.png p5.png|5 of 5
20|0|template|--strip||turned.tif|1 of 1;!Turned;!Warning
20|0|template||--auto-orient|p1.png|1 of 1
20|2|template|--bogus||p1.png|unknown option --bogus
20|0|template|||p1.png basn6a08.png fire.gif|Warning: basn6a08.png has transparency;Warning: fire.gif has several frames;3 of 3 pictures saved in quick/, 2 with warnings
20|0|template|-q||p1.png|!saved
20|0|template|--frames all||fire.gif|1 of 1;!Warning
20|1|template||--quiet --strict|p1.png fire.gif|Warning: fire.gif has several;Failed: fire.gif: Not saved: --strict;1 of 2;!with warnings
20|0|template||--alpha --out quick/%n.jpg|basn6a08.png|Warning: quick/basn6a08.jpg cannot keep transparency;1 of 1 pictures saved in quick/, 1 with warnings
20|1|template||--alpha --strict --out quick/%n.jpg|basn6a08.png|Warning: quick/basn6a08.jpg cannot keep;Failed: basn6a08.png: Not saved: --strict, and quick/basn6a08.jpg has the warning above.
20|1|template|||odd.xyz|Failed: odd.xyz: The extension of odd.xyz names no format that is read
20|0|until [ -e go.flag ]; do sleep 0.1; done; rm go.flag; grep -qa '<channels>1</channels>' image.xml && mv image.xml ..; echo >../go.flag|--grey|--out quick/%n.pgm|grey.png|1 of 1 pictures saved
20|1|until [ -e go.flag ]; do sleep 0.1; done; rm go.flag image.xml; echo The filter answered 3 bytes, not 189; echo >../go.flag; echo Error: no answer; exit 1|||p1.png|the module said: The filter answered 3 bytes, not 189
ROWS

# Ctrl-C in the middle: exchanges waiting on a slow module are stopped and their folders removed.
"$batch" --jobs 2 --module 'sleep 30; exec template' --out stopped/ $pictures >stopped.log 2>&1 &
pid=$!
sleep 1
leftovers stopped || fail "no exchange was running when Ctrl-C came"
kill -INT $pid
wait $pid
[ $? -eq 130 ] || { fail "Ctrl-C did not end the batch with 130"; cat stopped.log; }
leftovers stopped && fail "Ctrl-C left a working folder"
pgrep -f 'sleep 30; exec template' >/dev/null && fail "Ctrl-C left a module running"

[ "$failures" -eq 0 ] || exit 1
echo "corvane-batch: exact half turns at --jobs 1 and 3; failures, existing outputs, host options and warnings, clashes and Ctrl-C handled"
