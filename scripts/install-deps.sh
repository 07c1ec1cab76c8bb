#!/bin/sh
# Installs the Debian packages the build, the tests, the demo and the benchmarks need.
# Quick when everything is already there: dpkg is asked first, apt only for what is missing.
set -eu

PACKAGES="g++ cmake make pkg-config
qtbase5-dev libqt5xml5 libcrypto++-dev libcpp-httplib-dev libmicrohttpd-dev
xvfb xdotool x11-utils imagemagick
ccache curl nginx-light openssl libxml2-utils g++-mingw-w64-x86-64 zlib1g-dev
time iproute2 iputils-ping tinyproxy
libzstd-dev libdivsufsort-dev libcapstone-dev zstd bsdiff libcurl4-openssl-dev
libqt5sql5-sqlite libqt5sql5-psql postgresql-15 chromium"
# --fuzz: also the compiler and runtime of the fuzz targets (make fuzz).
if [ "${1:-}" = "--fuzz" ]; then
    PACKAGES="$PACKAGES clang libclang-rt-14-dev"
fi
# --windows: the MinGW compilers, Wine and what building Debian's qtbase and Crypto++ sources needs
# (make windows); apt-get source also needs a deb-src entry for the archive already in use.
if [ "${1:-}" = "--windows" ]; then
    PACKAGES="$PACKAGES g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine64 wine dpkg-dev perl python3 xz-utils"
    if ! grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        SUDO=""
        [ "$(id -u)" -eq 0 ] || SUDO="sudo"
        echo "install-deps: adding a deb-src entry for the archive already in use"
        if [ -f /etc/apt/sources.list.d/debian.sources ]; then
            sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
                | $SUDO tee /etc/apt/sources.list.d/trelvox-deb-src.sources >/dev/null
        else
            sed -n 's/^deb /deb-src /p' /etc/apt/sources.list \
                | $SUDO tee /etc/apt/sources.list.d/trelvox-deb-src.list >/dev/null
        fi
        $SUDO apt-get update -q
    fi
fi

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

[ -z "$missing" ] && exit 0

echo "install-deps: installing$missing"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
# shellcheck disable=SC2086
$SUDO apt-get install -y -q --no-install-recommends $missing
