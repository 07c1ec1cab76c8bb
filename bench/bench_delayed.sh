#!/bin/sh
# What a user waits for on a distant server: whole runs of the real programs over a delayed link
# (50 ms round trip, ~100 Mbit/s) against curl on the same nginx and files, in the same run. The
# kernel here has no netem, so the link is our delayline between two network namespaces of our own:
# nginx and update-service in "server" (10.200.0.1), the updater and curl in "client" (10.200.0.2).
# 200 files of 4 KiB, a warm-up pair, then ours and curl alternately, best of three:
#   1. <Prefetch>0</Prefetch> against curl fetching one after the other (goal within 1.1x);
#   2. <Prefetch>6</Prefetch> against curl --parallel --parallel-max 6 (goal within 1.3x).
# Without TUN or network namespaces it says why it skipped and succeeds.
set -eu
build="$1"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
. "$here/wholerun.sh"
trap wr_cleanup EXIT
trap 'exit 1' INT TERM

skip() { echo "skipped: $*"; exit 0; }

echo "== 200 files of 4 KiB over a 50 ms, 100 Mbit/s link: whole run against curl (best of 3)"
start_delayed_link 100

start_xvfb "$client_ns" || { fail "no X display"; exit 1; }
mkdir -p "$work/www/small/many" "$work/www/probe"
head -c $((200 * 4096)) /dev/urandom | split -b 4096 -d -a 3 - "$work/www/small/many/f"
head -c $((24 * 1024 * 1024)) /dev/urandom > "$work/www/probe/24m.bin"
start_nginx "$work/www" 10.200.0.1 "$server_ns" || { fail "no file server"; exit 1; }
files="http://10.200.0.1:$nginx_port/files"

# The link must be what the figures claim before anything is timed.
client() { ip netns exec "$client_ns" "$@"; }
if command -v ping > /dev/null; then
    rtt=$(client ping -c 5 -i 0.2 -q 10.200.0.1 | awk -F/ '/^rtt/ { print $5 }')
else
    rtt=$(client curl -sI -o /dev/null --max-time 5 -w '%{time_connect}' "$files/probe/24m.bin" |
        awk '{ print $1 * 1000 }')
fi
awk -v r="${rtt:-0}" 'BEGIN { exit !(r >= 45 && r <= 70) }' ||
    { fail "the link's round trip is ${rtt:-unknown} ms, not about 50 ms"; exit 1; }
rate=$(client curl -sf -o /dev/null --max-time 30 -w '%{speed_download}' "$files/probe/24m.bin" |
    awk '{ printf "%.0f", $1 * 8 / 1e6 }')
echo "  link: round trip ${rtt} ms, 24 MiB in one fetch at ${rate} Mbit/s"
# TCP need not fill the link, but it must never beat the limit.
[ "${rate:-999}" -le 100 ] || { fail "the link is not held to 100 Mbit/s"; exit 1; }

start_service "$work/www/small" 10.200.0.1 "$files/small" "$server_ns" ||
    { fail "the update service did not start"; exit 1; }
curl_config "$work/www/small" "$files/small" "$work/curl-out" > "$work/small.cfg"
ours_round() {
    reset_install "$work/install"
    run_ours "$work/install" "$client_ns"
    ours_complete "$work/install" 200 $((200 * 4096))
}
curl_round() {
    run_curl "$work/small.cfg" "$work/curl-out" "$client_ns" $curl_options
    tree_holds "$work/curl-out" 200 $((200 * 4096))
}
ratio() { awk -v o="$ours_best" -v c="$curl_best" 'BEGIN { print o / c }'; }

echo "-- <Prefetch>0</Prefetch> against curl one after the other"
make_install "$work/install" 0
curl_options=""
if compare; then
    table_head
    table_row "whole run time" "$ours_best s" "$curl_best s" "$(ratio)" "<=" 1.1
    limit_row "our peak resident memory" "$(awk -v k="$peak_max" 'BEGIN { print k / 1024 }')" 64 MiB
fi

echo "-- <Prefetch>6</Prefetch> against curl --parallel --parallel-max 6"
make_install "$work/install" 6
curl_options="--parallel --parallel-max 6"
if compare; then
    table_head
    table_row "whole run time" "$ours_best s" "$curl_best s" "$(ratio)" "<=" 1.3
    limit_row "our peak resident memory" "$(awk -v k="$peak_max" 'BEGIN { print k / 1024 }')" 64 MiB
fi
exit $wr_status
