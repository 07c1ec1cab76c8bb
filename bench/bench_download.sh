#!/bin/sh
# nginx on loopback serves one 1 GiB file and 2,000 files of 4 KiB. Our downloads (through the
# updater's window, as an update run makes them) are compared with curl's in the same run:
#   1. the 1 GiB file: throughput, best of three each, and our peak resident memory;
#   2. the 2,000 files one after the other through one manager, against one curl invocation
#      fetching the same URLs (connection reuse for both).
set -eu
build="$1"
bench="$build/bench/bench_download"
work="$(mktemp -d)"
nginx_pid=""
cleanup() {
    [ -z "$nginx_pid" ] || { kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; }
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

mkdir -p "$work/www/many" "$work/nginx"
truncate -s 1G "$work/www/big.bin"
head -c $((2000 * 4096)) /dev/urandom | split -b 4096 -d -a 4 - "$work/www/many/f"

# One unprivileged nginx process with everything in the temporary folder; the first free port of a
# high range.
port=$((30000 + $$ % 20000))
tries=0
while [ -z "$nginx_pid" ]; do
    cat > "$work/nginx/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1;
pid $work/nginx/nginx.pid; error_log $work/nginx/error.log;
events { worker_connections 64; }
http {
    access_log off; sendfile on; tcp_nopush on; keepalive_requests 100000;
    default_type application/octet-stream;
    client_body_temp_path $work/nginx/body; proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi; uwsgi_temp_path $work/nginx/uwsgi; scgi_temp_path $work/nginx/scgi;
    server { listen 127.0.0.1:$port; root $work/www; }
}
CONF
    nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" 2> /dev/null &
    candidate=$!
    up=""
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        if curl -sf -o /dev/null "http://127.0.0.1:$port/many/f0000"; then up=1; break; fi
        kill -0 "$candidate" 2>/dev/null || break
        sleep 0.1
    done
    if [ -n "$up" ]; then
        nginx_pid=$candidate
    else
        kill "$candidate" 2>/dev/null || true
        tries=$((tries + 1))
        [ $tries -lt 20 ] || { echo "nginx did not start"; exit 1; }
        port=$((port + 1))
    fi
done
base="http://127.0.0.1:$port"

# Our program's messages go to a log, shown when it fails.
ours() { "$bench" "$@" 2> "$work/bench.log" || { cat "$work/bench.log" >&2; exit 1; }; }
now_ns() { date +%s%N; }
value() { echo "$1" | awk -v k="$2" '$1 == k { print $2 }'; }
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }

# 1. One 1 GiB file, written to disk by both; the reference run first, then alternating.
size=$((1024 * 1024 * 1024))
curl_best=""
ours_best=""
rss=0
for _ in 1 2 3; do
    start=$(now_ns)
    curl -sf -o "$work/curl.bin" "$base/big.bin"
    end=$(now_ns)
    [ "$(stat -c %s "$work/curl.bin")" -eq $size ] || { echo "curl fetched a wrong size"; exit 1; }
    rm -f "$work/curl.bin"
    curl_best=$(min "$curl_best" "$(awk -v ns=$((end - start)) 'BEGIN { print ns / 1e9 }')")

    out="$(ours one "$base/big.bin" "$work/install")"
    [ "$(cat "$work/install/tmps/"*.tmp | wc -c)" -eq $size ] || { echo "our download has a wrong size"; exit 1; }
    rm -rf "$work/install"
    ours_best=$(min "$ours_best" "$(value "$out" seconds)")
    r=$(value "$out" maxrss_kib)
    [ "$r" -le "$rss" ] || rss=$r
done
awk -v c="$curl_best" -v o="$ours_best" -v s=$size -v r="$rss" 'BEGIN {
    printf "1 GiB file:   ours %.0f MiB/s   curl %.0f MiB/s   (best of 3)\n", s / o / 1048576, s / c / 1048576
    printf "ratio our throughput / curl throughput:  %.2f   (goal >= 0.9)\n", c / o
    printf "our peak memory: %.1f MiB   (goal < 64 MiB)\n", r / 1024
}'

# 2. 2,000 files of 4 KiB, one after the other.
i=0
: > "$work/urls.txt"
: > "$work/curl.cfg"
mkdir "$work/curl-many"
while [ $i -lt 2000 ]; do
    name=$(printf 'f%04d' $i)
    echo "$base/many/$name" >> "$work/urls.txt"
    printf 'url = "%s"\noutput = "%s"\n' "$base/many/$name" "$work/curl-many/$name" >> "$work/curl.cfg"
    i=$((i + 1))
done
curl_many=""
ours_many=""
ours_process=""
for _ in 1 2 3; do
    rm -rf "$work/curl-many"/*
    start=$(now_ns)
    curl -sf -K "$work/curl.cfg"
    end=$(now_ns)
    curl_many=$(min "$curl_many" "$(awk -v ns=$((end - start)) 'BEGIN { print ns / 1e9 }')")

    start=$(now_ns)
    out="$(ours many "$work/urls.txt" "$work/install")"
    end=$(now_ns)
    [ "$(ls "$work/install/tmps" | wc -l)" -eq 2000 ] || { echo "our downloads are incomplete"; exit 1; }
    rm -rf "$work/install"
    ours_many=$(min "$ours_many" "$(value "$out" seconds)")
    ours_process=$(min "$ours_process" "$(awk -v ns=$((end - start)) 'BEGIN { print ns / 1e9 }')")
done
awk -v c="$curl_many" -v o="$ours_many" -v p="$ours_process" 'BEGIN {
    printf "2,000 x 4 KiB: ours %.3f s (whole process %.3f s)   curl %.3f s   (best of 3)\n", o, p, c
    printf "ratio our time / curl time:  %.2f   (goal <= 1.2; whole process: %.2f)\n", o / c, p / c
}'
