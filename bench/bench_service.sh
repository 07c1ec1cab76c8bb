#!/bin/sh
# Serves one 512 MiB release file from update-service and from nginx, same machine, same run, and
# fetches it with curl: best of three wall times, and the service's peak memory while streaming.
set -eu
build="$1"
work="$(mktemp -d)"
service_pid=""
nginx_pid=""
cleanup() {
    [ -z "$service_pid" ] || kill "$service_pid" 2>/dev/null || true
    [ -z "$nginx_pid" ] || kill "$nginx_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/release"
head -c $((512 * 1024 * 1024)) /dev/urandom > "$work/release/big.bin"
service="$build/service/update-service"
"$service" publish "$work/release" --version 1.0.0

: > "$work/service.out"
"$service" serve --release "$work/release" --key "$(dirname "$0")/../service/demo-keys/private.der" \
    --listen 127.0.0.1:0 > "$work/service.out" 2> /dev/null &
service_pid=$!
while ! grep -q '^listening on' "$work/service.out"; do sleep 0.1; done
service_url="http://127.0.0.1:$(sed -n 's/^listening on .*://p' "$work/service.out")/files/big.bin"

# nginx needs a fixed port: take the first free one from a range.
port=28094
while [ -z "$nginx_pid" ] && [ $port -lt 28194 ]; do
    cat > "$work/nginx.conf" <<CONF
daemon off; worker_processes 1; user $(id -un); pid $work/nginx.pid; error_log $work/nginx.err;
events {}
http { access_log off; server { listen 127.0.0.1:$port; root $work/release; } }
CONF
    nginx -c "$work/nginx.conf" -p "$work" 2> /dev/null &
    candidate=$!
    sleep 0.3
    if kill -0 "$candidate" 2>/dev/null; then nginx_pid=$candidate; else port=$((port + 1)); fi
done
[ -n "$nginx_pid" ] || { echo "no free port for nginx"; exit 1; }
nginx_url="http://127.0.0.1:$port/big.bin"

best_ms() {
    best=""
    for _ in 1 2 3; do
        seconds=$(curl -sf -o /dev/null -w '%{time_total}' "$1") || { echo "cannot fetch $1" >&2; exit 1; }
        t=$(echo "$seconds" | awk '{ printf "%d", $1 * 1000 }')
        if [ -z "$best" ] || [ "$t" -lt "$best" ]; then best=$t; fi
    done
    echo "$best"
}
ours=$(best_ms "$service_url")
theirs=$(best_ms "$nginx_url")
peak=$(awk '/VmHWM/ { print $2 }' "/proc/$service_pid/status")
echo "512 MiB file over loopback, fetched with curl (best of 3)"
echo "update-service: ${ours} ms    nginx: ${theirs} ms"
awk -v o="$ours" -v t="$theirs" 'BEGIN { printf "ratio update-service / nginx: %.2f\n", o / t }'
echo "update-service peak resident memory: ${peak} kB"
