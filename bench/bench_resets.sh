#!/bin/sh
# A link that drops: one 200 MB file over the delayed link (50 ms round trip, 100 Mbit/s), the
# connection carrying it reset each time another 20 MB have crossed. A whole run of the real
# programs against curl --retry 10 -C - fetching the same file, one run each: both must complete;
# the bytes on the wire (TCP payload from the server's side, counted by the link itself) at most
# 1.02x the file size for ours; both times printed side by side. Without TUN or network namespaces
# it says why it skipped and succeeds.
set -eu
build="$1"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
. "$here/wholerun.sh"
trap wr_cleanup EXIT
trap 'exit 1' INT TERM

skip() { echo "skipped: $*"; exit 0; }

size=200000000
echo "== one file of 200 MB over a 50 ms, 100 Mbit/s link reset every 20 MB: whole run against curl"
start_delayed_link 100 --reset-every 20000000
start_xvfb "$client_ns" || { fail "no X display"; exit 1; }
mkdir -p "$work/www/big"
head -c "$size" /dev/urandom > "$work/www/big/big.bin"
start_nginx "$work/www" 10.200.0.1 "$server_ns" || { fail "no file server"; exit 1; }
files="http://10.200.0.1:$nginx_port/files"
start_service "$work/www/big" 10.200.0.1 "$files/big" "$server_ns" ||
    { fail "the update service did not start"; exit 1; }

# wire: the link's counts so far, "PAYLOAD RESETS".
wire() {
    lines=$(wc -l < "$work/delayline.out")
    kill -USR1 "$delayline_pid"
    counted() { [ "$(wc -l < "$work/delayline.out")" -gt "$lines" ]; }
    wait_for 50 counted || { echo "0 0"; return; }
    tail -n1 "$work/delayline.out" | awk '{ print $2, $4 }'
}
# since BEFORE AFTER: the payload and resets between two counts, "PAYLOAD RESETS".
since() { echo "$1 $2" | awk '{ print $3 - $1, $4 - $2 }'; }

make_install "$work/install"
before=$(wire)
run_ours "$work/install" "$client_ns"
ours_took=$took
set -- $(since "$before" "$(wire)")
ours_bytes=$1; ours_resets=$2
ours_complete "$work/install" 1 "$size" || fail "our run did not complete"

mkdir -p "$work/curl-out"
before=$(wire)
start=$(now_ns)
# curl takes a reset for a transient failure only when told to retry on every error, and waits a
# fixed 2 s (our first backoff) instead of doubling from 1 s up to minutes.
waited ip netns exec "$client_ns" timeout 300 curl -sf --retry 10 --retry-all-errors --retry-delay 2 -C - \
    -o "$work/curl-out/big.bin" "$files/big/big.bin" 2> "$work/curl.log"
took=$(seconds_between "$start" "$(now_ns)")
set -- $(since "$before" "$(wire)")
curl_bytes=$1; curl_resets=$2
# Not a failure of ours: the reference is shown as it does.
curl_kept=$(stat -c %s "$work/curl-out/big.bin" 2>/dev/null || echo 0)
curl_done=yes
[ "$curl_kept" -eq "$size" ] || curl_done="no: $curl_kept B"

table_head
info_row "whole run time" "$ours_took s" "$took s"
info_row "file complete" yes "$curl_done"
info_row "connections reset" "$ours_resets" "$curl_resets"
table_row "bytes on the wire" "$ours_bytes" "$curl_bytes" \
    "$(awk -v b="$ours_bytes" -v s="$size" 'BEGIN { print b / s }')" "<=" 1.02
echo "  (the ratio is ours over the file's size; curl's bytes over the file's size: $(awk -v b="$curl_bytes" -v s="$size" 'BEGIN { printf "%.3f", b / s }')x)"
exit $wr_status
