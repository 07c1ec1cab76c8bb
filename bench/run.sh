#!/bin/sh
# Runs every benchmark against its reference tool in the same run; each prints its own ratios.
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-build}" && pwd)"
status=0
for script in "$here"/bench_*.sh; do
    [ -e "$script" ] || continue
    echo "== $(basename "$script" .sh)"
    sh "$script" "$build" || status=1
done
exit $status
