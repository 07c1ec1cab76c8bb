#!/bin/sh
# Runs every fuzz target for SECONDS from its seeds in fuzz/corpus/<target>; fails when one crashes.
# New inputs and crash reproducers stay in BUILD/fuzz-corpus and BUILD/fuzz-artifacts.
set -eu
BUILD=${1:-build-fuzz}
SECONDS_EACH=${2:-60}
SOURCE=$(cd "$(dirname "$0")" && pwd)
export QT_QPA_PLATFORM=offscreen

failed=""
for seeds in "$SOURCE"/corpus/*/; do
    target=$(basename "$seeds")
    work="$BUILD/fuzz-corpus/$target"
    mkdir -p "$work" "$BUILD/fuzz-artifacts"
    echo "== $target: $SECONDS_EACH s"
    leaks=1
    # Qt 5.15's QJsonDocument::fromJson leaks the first value of a duplicated key when it holds a
    # container ({"":{"":[]},"":""}); ours keeps no memory of its own to leak there.
    [ "$target" = fuzz_upgradereply ] && leaks=0
    # Deep nesting needs room: 16 KiB is thousands of levels. Output of the code under test
    # (the service's access log) is closed; libFuzzer's own report still shows.
    if ASAN_OPTIONS="detect_leaks=$leaks" "$BUILD/fuzz/$target" -detect_leaks=$leaks \
        -max_total_time="$SECONDS_EACH" -max_len=16384 -timeout=10 -rss_limit_mb=2048 -close_fd_mask=3 -print_final_stats=1 \
        -artifact_prefix="$BUILD/fuzz-artifacts/$target-" "$work" "$seeds" 2>"$BUILD/fuzz-$target.log"; then
        grep -E "^stat::(number_of_executed_units|new_units_added)|Done [0-9]+ runs" "$BUILD/fuzz-$target.log" || true
    else
        tail -40 "$BUILD/fuzz-$target.log"
        failed="$failed $target"
    fi
done

if [ -n "$failed" ]; then
    echo "fuzz: crashed:$failed (reproducers in $BUILD/fuzz-artifacts)"
    exit 1
fi
echo "fuzz: every target ran $SECONDS_EACH s without a crash"
