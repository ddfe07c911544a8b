#!/bin/sh
# Installs the build into a temporary prefix, checks the layout, turns the sample picture twice
# with the installed host and template module (the second turn must give it back), and runs the
# installed corvane-batch, which must find both by itself.
# Usage: install_test.sh CMAKE BUILD_DIR SOURCE_DIR
set -u
cmake=$1
build=$2
source=$3

root=$(mktemp -d "${TMPDIR:-/tmp}/corvane-install-XXXXXX") || exit 1
trap 'rm -rf "$root"' EXIT INT TERM
prefix="$root/prefix"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

"$cmake" --install "$build" --prefix "$prefix" >"$root/install.log" 2>&1 || { cat "$root/install.log"; exit 1; }

# Only corvane and corvane-batch on PATH; the modules in a folder of their own.
modules="$prefix/lib/corvane/modules"
for program in bin/corvane bin/corvane-batch lib/corvane/modules/template lib/corvane/modules/ambrel; do
    [ -x "$prefix/$program" ] || fail "$program is not installed"
done
for program in template ambrel; do
    [ -e "$prefix/bin/$program" ] && fail "bin/$program is installed on PATH"
done
for page in man1/corvane.1.gz man1/corvane-batch.1.gz man1/template.1.gz man1/ambrel.1.gz man7/corvane-module.7.gz; do
    [ -f "$prefix/share/man/$page" ] || fail "share/man/$page is not installed"
done
for doc in doc/corvane/README.md doc/corvane/copyright doc/corvane/changelog.gz doc/corvane/docs/sample.png \
           corvane/examples/invert.py corvane/examples/greyscale.js corvane/examples/vignette.js \
           corvane/examples/sepia.c \
           corvane/examples/kits/corvane_module.py corvane/examples/kits/corvane-module.js \
           corvane/examples/kits/corvane_module.h; do
    [ -f "$prefix/share/$doc" ] || fail "share/$doc is not installed"
done
[ "$failures" -eq 0 ] || exit 1

if ! version=$("$prefix/bin/corvane" --version) || [ "$version" != "Corvane version 1.1" ]; then
    fail "--version printed '$version'"
fi
"$prefix/bin/corvane" --help >/dev/null || fail "--help did not exit with 0"
"$prefix/bin/corvane" >/dev/null
[ $? -eq 2 ] || fail "no arguments did not exit with 2"

# One exchange: the installed module waits in its folder, the installed host hands it the picture.
exchange() {
    (cd "$root/work/template" && exec timeout 30 "$modules/template") >"$root/module.log" 2>&1 &
    module=$!
    (cd "$root/work" && timeout 30 "$prefix/bin/corvane" template "$1" "$2") >"$root/host.log" 2>&1
    host=$?
    wait $module || { fail "template did not answer"; cat "$root/module.log"; }
    [ $host -eq 0 ] || { fail "corvane $1 $2 exited with $host"; cat "$root/host.log"; }
}

# The BMP pixel array starts at the offset stored in bytes 10 to 13 of the file.
pixels() { tail -c +$(($(od -An -tu4 -j10 -N4 "$1") + 1)) "$1"; }

mkdir -p "$root/work/template"
cp "$source/demo/sample.bmp" "$root/work/sample.bmp"
exchange sample.bmp turned.bmp
exchange turned.bmp back.bmp
pixels "$root/work/sample.bmp" >"$root/sample.pixels"
pixels "$root/work/turned.bmp" >"$root/turned.pixels"
pixels "$root/work/back.bmp" >"$root/back.pixels"
cmp -s "$root/sample.pixels" "$root/turned.pixels" && fail "the first turn changed nothing"
cmp -s "$root/sample.pixels" "$root/back.pixels" || fail "two turns did not give the picture back"
for leftover in image.xml go.flag template/image.xml template/go.flag; do
    [ -e "$root/work/$leftover" ] && fail "$leftover left behind"
done

# An installed example finds its kit in kits/ next to it.
if command -v python3 >/dev/null 2>&1; then
    mkdir -p "$root/work/invert"
    (cd "$root/work/invert" && exec timeout 30 python3 "$prefix/share/corvane/examples/invert.py") \
        >"$root/module.log" 2>&1 &
    module=$!
    (cd "$root/work" && timeout 30 "$prefix/bin/corvane" invert sample.bmp negative.bmp) >"$root/host.log" 2>&1 ||
        { fail "corvane with the installed invert.py failed"; cat "$root/host.log"; }
    wait $module || { fail "the installed invert.py did not answer"; cat "$root/module.log"; }
fi

# The installed batch runner finds the host beside it and the module by its name.
mkdir "$root/batch" && cp "$root/work/sample.bmp" "$root/batch/"
(cd "$root/batch" && timeout 60 "$prefix/bin/corvane-batch" --module template --out turned/ sample.bmp) \
    >"$root/batch.log" 2>&1 || { fail "the installed corvane-batch failed"; cat "$root/batch.log"; }
cmp -s "$root/work/turned.bmp" "$root/batch/turned/sample.bmp" || fail "corvane-batch did not turn the picture"

[ "$failures" -eq 0 ] || exit 1
echo "installed into a temporary prefix; the installed programs turned the picture and back, alone and in a batch"
