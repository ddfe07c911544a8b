#!/bin/sh
# Installs the Debian packages of the named groups, and only those missing. Used by the Makefile;
# safe to run again (it does nothing when everything is present).
# Usage: sh scripts/install-deps.sh [--list] GROUP ...   (no GROUP: build)
#   build     compile and run the programs: `make`, `make demo`, `make install`
#   test      every program the suite runs: GoogleTest, ImageMagick as the reference decoder and
#             heif-convert where it is wrong (HEIF), Python (with numpy, for the Python kit's arrays)
#             and Node.js for the example modules, groff for the manual pages, clang-format, cjpeg,
#             exiftool to check what the writers put in their files, cjxl/djxl for JPEG XL, tificc
#             (liblcms2-utils) as the reference for --colour srgb, tiffcp to join pages
#   bench     what the benchmarks compare against: ImageMagick, libvips, cjpeg/djpeg, cwebp/dwebp,
#             tiffcp, heif-convert and heif-enc, avifenc, cjxl, /usr/bin/time
#   fuzz      clang with libFuzzer and its sanitizer runtimes
#   sanitize  the suite under ASan and UBSan, built with g++, whose runtimes come with g++
#   package   `make package`: dpkg-shlibdeps (dpkg-dev) and file, which CPack's DEB generator runs
#   format    clang-format alone, for the format check
# --list prints the packages of the groups, one a line, and installs nothing.
set -eu

group_packages() {
    case $1 in
        build) echo "cmake g++ make pkg-config libturbojpeg0-dev libgif-dev libspng-dev zlib1g-dev libwebp-dev libtiff-dev libheif-dev libavif-dev libjxl-dev liblcms2-dev" ;;
        test) echo "libgtest-dev imagemagick python3 python3-numpy nodejs groff-base clang-format libjpeg-turbo-progs libimage-exiftool-perl libheif-examples libjxl-tools liblcms2-utils libtiff-tools" ;;
        bench) echo "imagemagick libvips-tools libjpeg-turbo-progs time python3 webp libtiff-tools libheif-examples libavif-bin libjxl-tools" ;;
        fuzz) echo "clang-14 libclang-rt-14-dev" ;;
        sanitize) echo "" ;;
        package) echo "dpkg-dev file" ;;
        format) echo "clang-format" ;;
        *)
            echo "install-deps: unknown group '$1' (groups: build test bench fuzz sanitize package format)" >&2
            exit 2
            ;;
    esac
}

list_only=no
if [ "${1:-}" = --list ]; then
    list_only=yes
    shift
fi
[ $# -gt 0 ] || set -- build

packages=""
for group in "$@"; do
    packages="$packages $(group_packages "$group")"
done
# shellcheck disable=SC2086
packages=$(printf '%s\n' $packages | sort -u)
[ -n "$packages" ] || exit 0

if [ "$list_only" = yes ]; then
    # shellcheck disable=SC2086
    printf '%s\n' $packages
    exit 0
fi

missing=""
for pkg in $packages; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    case "$status" in
        *"install ok installed"*) ;;
        *) missing="$missing $pkg" ;;
    esac
done

[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    SUDO=""
elif command -v sudo >/dev/null 2>&1; then
    SUDO="sudo"
else
    echo "install-deps: missing packages:$missing; run as root or install sudo" >&2
    exit 1
fi

echo "install-deps ($*): installing$missing"
$SUDO apt-get update -qq
# env carries the setting through sudo, which clears the environment.
# shellcheck disable=SC2086
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
