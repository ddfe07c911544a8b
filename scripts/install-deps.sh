#!/bin/sh
# Installs the Debian packages that building, testing and the demo need, and only those missing.
# Used by the Makefile; safe to run again (it does nothing when everything is present).
set -eu

PACKAGES="cmake g++ make pkg-config libgtest-dev libturbojpeg0-dev libspng-dev zlib1g-dev libgif-dev \
imagemagick libjpeg-turbo-progs time python3 nodejs clang-14 libclang-rt-14-dev groff-base man-db dpkg-dev file"

missing=""
for pkg in $PACKAGES; do
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

echo "install-deps: installing$missing"
$SUDO apt-get update -qq
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
