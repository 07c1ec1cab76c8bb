#!/bin/sh
# What a user waits for, over loopback: whole runs of the real programs against curl on the same
# nginx and the same files, in the same run. One of our runs is updater-launch starting a copy of
# the updater in an empty installation, on a private Xvfb display, until it exits: the encrypted
# query to update-service, every download from nginx, the renames and version.xml. The reference is
# one curl invocation fetching the same URLs into a folder (connection reuse). A warm-up pair first,
# then ours and curl alternately, best of three:
#   1. 2,000 files of 4 KiB in a signed release, one at a time and with Prefetch 6, every file made
#      durable before the run ends: our time over curl's (goals at most 4x and 2.5x);
#   2. one 1 GiB file: our throughput over curl's (goal at least 0.9x), our peak resident memory
#      (goal under 64 MiB).
set -eu
build="$1"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
. "$here/wholerun.sh"
trap wr_cleanup EXIT
trap 'exit 1' INT TERM

start_xvfb || { fail "no X display"; exit 1; }
fresh_filesystem 12G # three copies of 1 GiB a round, none deleted before the end
mkdir -p "$work/www/many" "$work/www/big"
head -c $((2000 * 4096)) /dev/urandom | split -b 4096 -d -a 4 - "$work/www/many/f"
truncate -s 1G "$work/www/big/big.bin"
start_nginx "$work/www" 127.0.0.1 || { fail "no file server"; exit 1; }
files="http://127.0.0.1:$nginx_port/files"

if start_service "$work/www/many" 127.0.0.1 "$files/many"; then
    curl_config "$work/www/many" "$files/many" "$runs/curl-out" > "$work/many.cfg"
    ours_round() {
        reset_install "$runs/install"
        run_ours "$runs/install"
        ours_complete "$runs/install" 2000 $((2000 * 4096))
    }
    # The updater makes the staged release durable with one sync before its files move in; what an
    # fsync of each file, one after another, costs on this disk is shown beside curl's time.
    curl_round() {
        run_curl "$work/many.cfg" "$runs/curl-out" ""
        tree_holds "$runs/curl-out" 2000 $((2000 * 4096)) || return 1
        start=$(now_ns)
        sync "$runs/curl-out"/*
        [ "$round" -eq 0 ] || fsync_best=$(min "$fsync_best" "$(awk -v t="$took" -v s="$(seconds_between "$start" "$(now_ns)")" \
            'BEGIN { printf "%.3f", t + s }')")
    }
    # As shipped, one file at a time; then with downloads ahead, which config.xml opts into.
    for prefetch in 0 6; do
        goal=$([ "$prefetch" -eq 0 ] && echo 4 || echo 2.5)
        echo "== 2,000 files of 4 KiB over loopback, Prefetch $prefetch: whole run against one curl (best of 3)"
        make_install "$runs/install" "$prefetch"
        fsync_best=""
        if compare; then
            table_head
            table_row "whole run time" "$ours_best s" "$curl_best s" \
                "$(awk -v o="$ours_best" -v c="$curl_best" 'BEGIN { print o / c }')" "<=" "$goal"
            info_row "  curl, then fsync each file" "" "$fsync_best s"
            limit_row "our peak resident memory" "$(awk -v k="$peak_max" 'BEGIN { print k / 1024 }')" 64 MiB
        fi
    done
else
    fail "the update service did not start"
fi

echo "== one 1 GiB file over loopback: whole run against curl (best of 3)"
stop_service
if start_service "$work/www/big" 127.0.0.1 "$files/big"; then
    make_install "$runs/install"
    curl_config "$work/www/big" "$files/big" "$runs/curl-out" > "$work/big.cfg"
    size=$((1024 * 1024 * 1024))
    ours_round() {
        reset_install "$runs/install"
        run_ours "$runs/install"
        ours_complete "$runs/install" 1 $size
    }
    curl_round() {
        run_curl "$work/big.cfg" "$runs/curl-out" ""
        tree_holds "$runs/curl-out" 1 $size
    }
    if compare; then
        table_head
        mib_s() { awk -v t="$1" 'BEGIN { printf "%.0f MiB/s", 1024 / t }'; }
        table_row "throughput" "$(mib_s "$ours_best")" "$(mib_s "$curl_best")" \
            "$(awk -v o="$ours_best" -v c="$curl_best" 'BEGIN { print c / o }')" ">=" 0.9
        info_row "  whole run time" "$ours_best s" "$curl_best s"
        limit_row "our peak resident memory" "$(awk -v k="$peak_max" 'BEGIN { print k / 1024 }')" 64 MiB
    fi
else
    fail "the update service did not start"
fi
exit $wr_status
