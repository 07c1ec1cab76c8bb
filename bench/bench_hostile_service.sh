#!/bin/bash
# update-service under hostile clients, for SECONDS (default 10): eight connections that keep sending
# chunked upgrade bodies and one that keeps sending header lines, each opened again as soon as it
# is cut off. Prints the service's peak memory (VmHWM) and an upgrade query's time before and during.
set -eu
build="$1"
seconds="${2:-10}"
work="$(mktemp -d)"
service_pid=""
cleanup() {
    jobs -p | xargs -r kill 2>/dev/null || true
    [ -z "$service_pid" ] || kill "$service_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/release"
echo "a" > "$work/release/a.txt"
service="$build/service/update-service"
"$service" publish "$work/release" --version 1.0.0 > /dev/null
: > "$work/service.out"
"$service" serve --release "$work/release" --key "$(dirname "$0")/../service/demo-keys/private.der" \
    --listen 127.0.0.1:0 > "$work/service.out" 2> /dev/null &
service_pid=$!
while ! grep -q '^listening on' "$work/service.out"; do sleep 0.1; done
port="$(sed -n 's/^listening on .*://p' "$work/service.out")"
url="http://127.0.0.1:$port"

# A malformed query is still answered by the service's own code, not just its HTTP layer.
query() { curl -s -o /dev/null -w '%{time_total}' -d '[]' "$url/api/upgrade"; }
idle="$(query)"
end=$((SECONDS + seconds))
for _ in 1 2 3 4 5 6 7 8; do
    (while [ $SECONDS -lt $end ]; do
        head -c $((1 << 30)) /dev/zero | curl -s -o /dev/null -X POST -T - "$url/api/upgrade" || true
    done) &
done
(while [ $SECONDS -lt $end ]; do
    { printf 'GET /files/a.txt HTTP/1.1\r\nHost: x\r\n'; yes $'X-Filler: xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r' | head -c $((1 << 30)); } \
        2> /dev/null > "/dev/tcp/127.0.0.1/$port" || true
done) &
sleep $((seconds / 2))
flooded="$(query)"
wait $(jobs -p | grep -v "^$service_pid$") 2> /dev/null || true
peak="$(sed -n 's/^VmHWM:[[:space:]]*//p' "/proc/$service_pid/status")"
echo "service peak memory under 8 chunked floods and a header flood: $peak"
echo "upgrade query: ${idle}s idle, ${flooded}s under the floods"
