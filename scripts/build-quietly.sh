#!/bin/sh
# Builds only the targets given, quietly: CMake's progress lines are dropped, while the compiler's
# warnings and errors still show. Usage: build-quietly.sh BUILD TARGET...
set -eu
build="$1"
shift
status="$(mktemp)"
{ cmake --build "$build" -j "${JOBS:-$(nproc)}" --target "$@" 2>&1; echo $? > "$status"; } |
    grep -v -E '^\[ *[0-9]+%\] (Building|Linking|Built target|Automatic MOC|Automatic UIC|Generating)|^(Scanning|Consolidate)|^g?make\[[0-9]+\]: (Entering|Leaving) directory' || true
rc="$(cat "$status")"
rm -f "$status"
exit "$rc"
