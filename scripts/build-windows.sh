#!/bin/sh
# make windows: the updater for Windows, cross-built with MinGW-w64.
#
# Debian packages no Qt or Crypto++ for MinGW, so qtbase, Crypto++ and zstd are built from Debian's
# source packages once, into a cache outside the checkout keyed by their versions, and reused while
# those versions stay. Then the project's own CMake builds the Windows programs into BUILD-DIR, and
# BUILD-DIR/deploy holds them with every DLL they load, ready to copy as <install>/updater/.
#
#   scripts/build-windows.sh [BUILD-DIR]      (default build-windows)
#   TRELVOX_WINDOWS_CACHE=DIR                 the cache's parent (default /var/cache/trelvox-windows,
#                                             or ~/.cache/trelvox-windows when that is not writable)
set -eu
cd "$(dirname "$0")/.."
SOURCE_DIR=$(pwd)
BUILD_DIR=${1:-build-windows}
JOBS=${JOBS:-$(nproc)}
HOST=x86_64-w64-mingw32

./scripts/install-deps.sh --windows

CACHE_PARENT=${TRELVOX_WINDOWS_CACHE:-/var/cache/trelvox-windows}
if ! mkdir -p "$CACHE_PARENT" 2>/dev/null || [ ! -w "$CACHE_PARENT" ]; then
    CACHE_PARENT=$HOME/.cache/trelvox-windows
    mkdir -p "$CACHE_PARENT"
fi

# The source versions the deb-src entries list, newest first.
source_versions() {
    apt-cache showsrc "$1" | sed -n 's/^Version: //p' | sort -u | while read -r v; do
        later=0
        for w in $(apt-cache showsrc "$1" | sed -n 's/^Version: //p'); do
            dpkg --compare-versions "$w" gt "$v" && later=$((later + 1))
        done
        echo "$later $v"
    done | sort -n | cut -d' ' -f2
}
# Each part is kept in a folder of its own named by its source version. The newest version is used
# whose build is in the cache or whose source the archive serves: a mirror may list a security
# update's source without serving it.
resolve() { # PACKAGE CACHE-NAME -> the version to use
    for v in $(source_versions "$1"); do
        if [ -f "$CACHE_PARENT/$2-$(echo "$v" | tr ':~' '__')/.complete" ]; then echo "$v"; return; fi
        uri=$(apt-get source -q --print-uris "$1=$v" 2>/dev/null | sed -n "s/^'\([^']*\.dsc\)'.*/\1/p")
        if [ -n "$uri" ] && curl -fsI --max-time 20 "$uri" >/dev/null 2>&1; then echo "$v"; return; fi
    done
    echo "build-windows: the archive serves no source of $1; is a deb-src entry missing?" >&2
    exit 1
}
QT_VERSION=$(resolve qtbase-opensource-src qtbase)
CRYPTOPP_VERSION=$(resolve libcrypto++ cryptopp)
ZSTD_VERSION=$(resolve libzstd zstd)
CURL_VERSION=$(resolve curl curl)
NGHTTP2_VERSION=$(resolve nghttp2 nghttp2)
QT=$CACHE_PARENT/qtbase-$(echo "$QT_VERSION" | tr ':~' '__')
CRYPTOPP=$CACHE_PARENT/cryptopp-$(echo "$CRYPTOPP_VERSION" | tr ':~' '__')
ZSTD=$CACHE_PARENT/zstd-$(echo "$ZSTD_VERSION" | tr ':~' '__')
NGHTTP2=$CACHE_PARENT/nghttp2-$(echo "$NGHTTP2_VERSION" | tr ':~' '__')
# Named apart from a libcurl built without HTTP/2.
CURL=$CACHE_PARENT/curl-h2-$(echo "$CURL_VERSION-nghttp2-$NGHTTP2_VERSION" | tr ':~' '__')
# All of them together, as the toolchain file takes them.
CACHE=$CACHE_PARENT/set-$(echo "qtbase-$QT_VERSION-cryptopp-$CRYPTOPP_VERSION-zstd-$ZSTD_VERSION-curl-$CURL_VERSION-nghttp2-$NGHTTP2_VERSION" | tr ':~' '__')
mkdir -p "$CACHE"

# The -posix compilers under the plain names: Qt's mkspec calls $(CROSS_COMPILE)g++.
TOOLS=$CACHE_PARENT/mingw-posix-bin
mkdir -p "$TOOLS"
ln -sf "$(command -v $HOST-gcc-posix)" "$TOOLS/$HOST-gcc"
ln -sf "$(command -v $HOST-g++-posix)" "$TOOLS/$HOST-g++"

WORK=$(mktemp -d "$CACHE_PARENT/src.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

now() { date +%s; }
# cmake_library NAME SOURCE-DIR PREFIX [CMAKE-ARGUMENTS...]: a CMake project built for MinGW and
# installed into PREFIX; its output goes to a log shown only when it fails.
cmake_library() {
    name=$1; src=$2; prefix=$3; shift 3
    (cd "$src" && nice -n 19 cmake -S . -B build-mingw -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_C_COMPILER=$HOST-gcc-posix -DCMAKE_CXX_COMPILER=$HOST-g++-posix -DCMAKE_RC_COMPILER=$HOST-windres \
        -DCMAKE_INSTALL_PREFIX="$prefix" "$@" >"$WORK/$name-build.log" 2>&1 \
        && nice -n 19 cmake --build build-mingw -j"$JOBS" >>"$WORK/$name-build.log" 2>&1 \
        && cmake --install build-mingw >>"$WORK/$name-build.log" 2>&1) || { tail -40 "$WORK/$name-build.log"; exit 1; }
}
took() { echo "build-windows: $1 took $(( $(now) - $2 )) s"; }

# Each part is rebuilt whole unless its stamp says it finished, so an interrupted build never
# leaves a half-installed prefix that later runs would trust.
fetch() { # PACKAGE VERSION -> the unpacked source folder
    (cd "$WORK" && apt-get source -q --download-only "$1=$2" >/dev/null 2>&1 \
        && dpkg-source -x ./*.dsc "src-$1" >/dev/null 2>&1) \
        || { echo "build-windows: apt-get source $1=$2 failed" >&2; exit 1; }
    rm -f "$WORK"/*.dsc "$WORK"/*.tar.* "$WORK"/*.diff.*
    echo "$WORK/src-$1"
}

if [ ! -f "$QT/.complete" ]; then
    echo "build-windows: no MinGW qtbase $QT_VERSION in $QT: building it once from Debian's source;"
    echo "build-windows: this takes about 30-45 minutes on 2 cores (more on a busy machine), later runs reuse it"
    start=$(now)
    rm -rf "$QT"
    src=$(fetch qtbase-opensource-src "$QT_VERSION")
    # Debian's source lacks the bundled sqlite and wintab, hence -no-sql-sqlite and no tablet events.
    (cd "$src" && PATH=$TOOLS:$PATH nice -n 19 ./configure -prefix "$QT" -opensource -confirm-license \
        -xplatform win32-g++ -device-option CROSS_COMPILE=$HOST- \
        -release -shared -no-opengl -no-openssl -no-dbus -no-icu -no-sql-sqlite -no-feature-tabletevent \
        -nomake examples -nomake tests >"$WORK/qt-configure.log" 2>&1) \
        || { tail -40 "$WORK/qt-configure.log"; exit 1; }
    (cd "$src" && PATH=$TOOLS:$PATH nice -n 19 make -j"$JOBS" >"$WORK/qt-build.log" 2>&1 \
        && PATH=$TOOLS:$PATH make install >>"$WORK/qt-build.log" 2>&1) \
        || { tail -40 "$WORK/qt-build.log"; exit 1; }
    rm -rf "$src"
    touch "$QT/.complete"
    took "qtbase" "$start"
fi

if [ ! -f "$CRYPTOPP/.complete" ]; then
    echo "build-windows: building Crypto++ $CRYPTOPP_VERSION for MinGW (about 3-5 minutes)"
    start=$(now)
    rm -rf "$CRYPTOPP"
    src=$(fetch libcrypto++ "$CRYPTOPP_VERSION")
    (cd "$src" && nice -n 19 make -j"$JOBS" static CXX=$HOST-g++-posix AR=$HOST-ar RANLIB=$HOST-ranlib \
        CXXFLAGS="-DNDEBUG -O2" >"$WORK/cryptopp-build.log" 2>&1) \
        || { tail -40 "$WORK/cryptopp-build.log"; exit 1; }
    mkdir -p "$CRYPTOPP/lib" "$CRYPTOPP/include/cryptopp"
    # Debian's source names the library libcrypto++.a, upstream libcryptopp.a.
    cp "$(ls "$src"/libcrypto*.a | head -n 1)" "$CRYPTOPP/lib/libcryptopp.a"
    cp "$src"/*.h "$CRYPTOPP/include/cryptopp/"
    rm -rf "$src"
    touch "$CRYPTOPP/.complete"
    took "Crypto++" "$start"
fi

if [ ! -f "$ZSTD/.complete" ]; then
    echo "build-windows: building zstd $ZSTD_VERSION for MinGW (under a minute)"
    start=$(now)
    rm -rf "$ZSTD"
    src=$(fetch libzstd "$ZSTD_VERSION")
    (cd "$src/lib" && nice -n 19 make -j"$JOBS" libzstd.a CC=$HOST-gcc-posix AR=$HOST-ar \
        >"$WORK/zstd-build.log" 2>&1) || { tail -40 "$WORK/zstd-build.log"; exit 1; }
    mkdir -p "$ZSTD/lib" "$ZSTD/include"
    cp "$src/lib/libzstd.a" "$ZSTD/lib/"
    cp "$src/lib/zstd.h" "$src/lib/zstd_errors.h" "$src/lib/zdict.h" "$ZSTD/include/"
    rm -rf "$src"
    touch "$ZSTD/.complete"
    took "zstd" "$start"
fi

if [ ! -f "$NGHTTP2/.complete" ]; then
    echo "build-windows: building nghttp2 $NGHTTP2_VERSION for MinGW (under a minute)"
    start=$(now)
    rm -rf "$NGHTTP2"
    src=$(fetch nghttp2 "$NGHTTP2_VERSION")
    # The library alone, static: HTTP/2 for libcurl. With clock_gettime found as well as
    # GetTickCount64, this version calls a function it leaves out; the Windows clock it is.
    cmake_library nghttp2 "$src" "$NGHTTP2" -DENABLE_LIB_ONLY=ON -DENABLE_STATIC_LIB=ON -DENABLE_SHARED_LIB=OFF \
        -DENABLE_DOC=OFF -DBUILD_TESTING=OFF -DHAVE_CLOCK_GETTIME=0
    rm -rf "$src"
    touch "$NGHTTP2/.complete"
    took "nghttp2" "$start"
fi

if [ ! -f "$CURL/.complete" ]; then
    echo "build-windows: building libcurl $CURL_VERSION for MinGW with Schannel and HTTP/2 (about 2 minutes)"
    start=$(now)
    rm -rf "$CURL"
    src=$(fetch curl "$CURL_VERSION")
    # TLS from Windows itself (Schannel, with the system's certificate store); static, so nothing to deploy.
    cmake_library curl "$src" "$CURL" \
        -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF \
        -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBPSL=OFF -DUSE_LIBIDN2=OFF -DUSE_WIN32_IDN=OFF -DCURL_ZLIB=OFF \
        -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=ON -DNGHTTP2_INCLUDE_DIR="$NGHTTP2/include" \
        -DNGHTTP2_LIBRARY="$(ls "$NGHTTP2"/lib*/libnghttp2.a | head -n 1)" -DCMAKE_C_FLAGS=-DNGHTTP2_STATICLIB \
        -DCURL_DISABLE_LDAP=ON -DENABLE_UNICODE=ON
    rm -rf "$src"
    touch "$CURL/.complete"
    took "libcurl" "$start"
fi

# The set names the parts through links of its own, so that the toolchain file finds everything below it;
# pkg-config files under the names the project's CMake asks for.
ln -sfn "$QT" "$CACHE/qt"
ln -sfn "$CRYPTOPP" "$CACHE/cryptopp"
ln -sfn "$ZSTD" "$CACHE/zstd"
ln -sfn "$CURL" "$CACHE/curl"
ln -sfn "$NGHTTP2" "$CACHE/nghttp2"
mkdir -p "$CACHE/pkgconfig"
cat >"$CACHE/pkgconfig/libcrypto++.pc" <<EOF
Name: libcrypto++
Description: Crypto++ for MinGW-w64
Version: $CRYPTOPP_VERSION
Cflags: -I$CACHE/cryptopp/include
Libs: -L$CACHE/cryptopp/lib -lcryptopp
EOF
cat >"$CACHE/pkgconfig/libzstd.pc" <<EOF
Name: libzstd
Description: zstd for MinGW-w64
Version: $ZSTD_VERSION
Cflags: -I$CACHE/zstd/include
Libs: -L$CACHE/zstd/lib -lzstd
EOF
cat >"$CACHE/pkgconfig/libcurl.pc" <<EOF
Name: libcurl
Description: libcurl for MinGW-w64, with Schannel and nghttp2
Version: $CURL_VERSION
Cflags: -I$CACHE/curl/include -DCURL_STATICLIB
Libs: -L$CACHE/curl/lib -L$CACHE/nghttp2/lib -lcurl -lnghttp2 -lws2_32 -lbcrypt -ladvapi32 -lcrypt32
EOF

echo "build-windows: dependencies in $CACHE"
start=$(now)
mkdir -p "$BUILD_DIR"
cmake -S "$SOURCE_DIR" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$SOURCE_DIR/cmake/mingw-w64.cmake" -DTRELVOX_WINDOWS_DEPS="$CACHE" \
    -DBUILD_TESTING=OFF -DUPDATER_BUILD_SERVICE=OFF \
    -DUPDATER_PUBLIC_KEY="$(cat service/demo-keys/public.hex)" \
    -DUPDATER_RELEASE_KEY="$(cat service/demo-keys/release-public.hex)" -DUPDATER_DEFAULT_HOST=127.0.0.1 \
    >"$BUILD_DIR/configure.log" 2>&1 || { cat "$BUILD_DIR/configure.log"; exit 1; }
nice -n 19 cmake --build "$BUILD_DIR" -j "$JOBS"
cmake --build "$BUILD_DIR" --target windows_deploy
took "the project's MinGW build" "$start"
echo "build-windows: the Windows programs and their DLLs are in $BUILD_DIR/deploy"
