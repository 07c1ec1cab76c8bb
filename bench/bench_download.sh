#!/bin/sh
# What a user waits for, over loopback: whole runs of the real programs against curl on the same
# nginx and the same files, in the same run. One of our runs is updater-launch starting a copy of
# the updater in an empty installation, on a private Xvfb display, until it exits: the encrypted
# query to update-service, every download from nginx, the renames and version.xml. The reference is
# one curl invocation fetching the same URLs into a folder (connection reuse). A warm-up pair first,
# then ours and curl alternately, best of three:
#   1. 2,000 files of 4 KiB in a signed release, every file made durable before the run ends, our
#      time over curl's: one at a time (goal at most 1.5x), and with Prefetch 6 against curl's own
#      six parallel transfers (goal 1x); both again while another process writes to the disk (each
#      within 2x of its quiet ratio); and over HTTP/2 with TLS against curl --http2 --parallel
#      (goal 1.2x); the base format (no release key), one at a time (goal 1.5x). Our peak resident
#      memory, goal under 48 MiB;
#   2. one 1 GiB file: our throughput over curl's (goal at least 1x), our peak resident memory
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

# small_files LABEL PREFETCH GOAL [CURL-OPTIONS...]: the 2,000 files, our whole run against one curl
# invocation; sets ratio.
small_files() {
    label=$1; prefetch=$2; goal=$3; shift 3
    echo "== 2,000 files of 4 KiB over $label, Prefetch $prefetch: whole run against one curl $* (best of 3)"
    make_install "$runs/install" "$prefetch"
    curl_options="$*"
    fsync_best=""
    ratio=""
    ours_round() {
        reset_install "$runs/install"
        run_ours "$runs/install"
        ours_complete "$runs/install" 2000 $((2000 * 4096))
    }
    # The updater makes the staged release durable with one sync before its files move in; what the
    # same sync costs after curl is shown beside curl's time.
    curl_round() {
        # shellcheck disable=SC2086 # the options are words
        run_curl "$work/many.cfg" "$runs/curl-out" "" $curl_options
        tree_holds "$runs/curl-out" 2000 $((2000 * 4096)) || return 1
        start=$(now_ns)
        sync -f "$runs/curl-out"
        [ "$round" -eq 0 ] || fsync_best=$(min "$fsync_best" "$(awk -v t="$took" -v s="$(seconds_between "$start" "$(now_ns)")" \
            'BEGIN { printf "%.3f", t + s }')")
    }
    compare || return 0
    ratio=$(awk -v o="$ours_best" -v c="$curl_best" 'BEGIN { print o / c }')
    table_head
    table_row "whole run time" "$ours_best s" "$curl_best s" "$ratio" "<=" "$goal"
    info_row "  curl, then one sync" "" "$fsync_best s"
    limit_row "our peak resident memory" "$(awk -v k="$peak_max" 'BEGIN { print k / 1024 }')" 48 MiB
}

if start_service "$work/www/many" 127.0.0.1 "$files/many"; then
    curl_config "$work/www/many" "$files/many" "$runs/curl-out" > "$work/many.cfg"
    # As shipped, one file at a time; then with downloads ahead, which config.xml opts into, against
    # curl's own parallel transfers.
    small_files loopback 0 1.5
    quiet0=$ratio
    small_files loopback 6 1.0 --parallel --parallel-max 6
    quiet6=$ratio
    # The same while another process writes to the disk: each ratio within 2x of its quiet one.
    busy_disk_start
    small_files "loopback, the disk busy" 0 3
    busy0=$ratio
    small_files "loopback, the disk busy" 6 2 --parallel --parallel-max 6
    busy6=$ratio
    busy_disk_stop
    for pair in "0 $quiet0 $busy0" "6 $quiet6 $busy6"; do
        set -- $pair
        [ -n "${3:-}" ] && [ -n "${2:-}" ] || continue
        table_row "Prefetch $1: busy over quiet" "" "" "$(awk -v b="$3" -v q="$2" 'BEGIN { print b / q }')" "<=" 2
    done
else
    fail "the update service did not start"
fi

# The base format: an updater that trusts no release key, and a release published unsigned. Built
# here in a folder of its own; the compiler cache makes a second run cheap.
stop_service
echo "== building an updater for the base format (no release key)"
if cmake -S "$root" -B "$build/bench-base" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
        -DUPDATER_PUBLIC_KEY="$(cat "$root/service/demo-keys/public.hex")" -DUPDATER_RELEASE_KEY= \
        -DUPDATER_DEFAULT_HOST=127.0.0.1 > "$work/base-configure.log" 2>&1 \
    && cmake --build "$build/bench-base" -j "$(nproc)" --target updater > "$work/base-build.log" 2>&1; then
    cp -r "$work/www/many" "$work/www/base"
    rm -f "$work/www/base/release.json" "$work/www/base/release-signed.json"
    rm -rf "$work/www/base/.trelvox-forms"
    wr_unsigned=1
    wr_updater="$build/bench-base/app/updater"
    if start_service "$work/www/base" 127.0.0.1 "$files/base"; then
        curl_config "$work/www/base" "$files/base" "$runs/curl-out" > "$work/many.cfg"
        small_files "loopback, the base format" 0 1.5
    else
        fail "the update service did not start"
    fi
    unset wr_unsigned wr_updater
else
    fail "the base-format updater did not build: $(tail -n 5 "$work/base-build.log" "$work/base-configure.log")"
fi

stop_service
echo "== one 1 GiB file over loopback: whole run against curl (best of 3)"
if start_service "$work/www/big" 127.0.0.1 "$files/big"; then
    make_install "$runs/install"
    curl_config "$work/www/big" "$files/big" "$runs/curl-out" > "$work/big.cfg"
    size=$((1024 * 1024 * 1024))
    ours_round() {
        reset_install "$runs/install"
        run_ours "$runs/install"
        ours_complete "$runs/install" 1 $size
    }
    fsync_best=""
    curl_round() {
        run_curl "$work/big.cfg" "$runs/curl-out" ""
        tree_holds "$runs/curl-out" 1 $size || return 1
        start=$(now_ns)
        sync -f "$runs/curl-out"
        [ "$round" -eq 0 ] || fsync_best=$(min "$fsync_best" "$(awk -v t="$took" -v s="$(seconds_between "$start" "$(now_ns)")" \
            'BEGIN { printf "%.3f", t + s }')")
    }
    if compare; then
        table_head
        mib_s() { awk -v t="$1" 'BEGIN { printf "%.0f MiB/s", 1024 / t }'; }
        table_row "throughput" "$(mib_s "$ours_best")" "$(mib_s "$curl_best")" \
            "$(awk -v o="$ours_best" -v c="$curl_best" 'BEGIN { print c / o }')" ">=" 1
        info_row "  whole run time" "$ours_best s" "$curl_best s"
        info_row "  curl, then one sync" "" "$fsync_best s"
        limit_row "our peak resident memory" "$(awk -v k="$peak_max" 'BEGIN { print k / 1024 }')" 64 MiB
    fi
else
    fail "the update service did not start"
fi
stop_service
kill "$nginx_pid" 2>/dev/null || true
wait "$nginx_pid" 2>/dev/null || true
wr_tls=1
if start_nginx "$work/www" 127.0.0.1 && start_service "$work/www/many" 127.0.0.1 "https://127.0.0.1:$nginx_port/files/many"; then
    curl_config "$work/www/many" "https://127.0.0.1:$nginx_port/files/many" "$runs/curl-out" > "$work/many.cfg"
    small_files "HTTP/2 over TLS" 6 1.2 --http2 --parallel --parallel-max 100 --cacert "$SSL_CERT_FILE"
else
    fail "no TLS file server or update service"
fi
exit $wr_status
