# Sourced by the whole-run benchmarks (bench_download.sh, bench_delayed.sh): the pieces that serve a
# release, lay out an empty installation, time one whole updater run or one curl run, check what
# arrived and print the summary rows. Expects $build and $work; every process it starts is ended by
# wr_cleanup, which the caller traps on EXIT.

root="$(cd "$(dirname "$0")/.." && pwd)"
wr_pids=""
wr_status=0

wr_child=""

wr_cleanup() {
    # A timed run is led by timeout, which leads its own process group; the runs' own namespaces
    # have a first process that ignores TERM, so the group is killed outright.
    [ -z "$wr_child" ] || kill -KILL "-$wr_child" 2>/dev/null || true
    for pid in $wr_pids; do kill "$pid" 2>/dev/null || true; done
    for pid in $wr_pids; do wait "$pid" 2>/dev/null || true; done
    if [ -n "${wr_delayed:-}" ]; then
        ip netns del "$server_ns" 2>/dev/null || true
        ip netns del "$client_ns" 2>/dev/null || true
    fi
    [ -z "${wr_mounted:-}" ] || umount "$wr_mounted" 2>/dev/null || true
    rm -rf "$work"
}

# fresh_filesystem SIZE: sets runs, the folder the installations and curl's output go to: a new
# ext4 file system of its own where it can be mounted (root, a loop device), else $work. ext4 passes
# over recently freed inodes one by one when it makes a file, so on a disk where thousands were
# deleted in the last minutes (a test run, the last benchmark) every new file costs both tools a
# multiple of what it costs on a user's disk, and the ratios say nothing.
fresh_filesystem() {
    runs="$work"
    truncate -s "$1" "$work/fs.img" && mkfs.ext4 -q -F "$work/fs.img" && mkdir -p "$work/fs" || return 0
    if mount -o loop "$work/fs.img" "$work/fs" 2> /dev/null; then
        wr_mounted="$work/fs"
        runs="$work/fs"
    else
        echo "  (no loop mount here: the runs share this machine's disk)"
    fi
}

# Runs a timed command in the background and waits for it: a shell runs its traps only between
# commands, and a wait is the one it leaves at once when told to stop.
waited() {
    "$@" &
    wr_child=$!
    wait "$wr_child" || true
    wr_child=""
}

now_ns() { date +%s%N; }
seconds_between() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'; }
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b + 0 < a + 0) ? b : a }'; }
max() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b + 0 > a + 0) ? b : a }'; }
. "$here/../scripts/waitfor.sh"

# A private display: the updater is a window, and a real X server is what a user has. Started in
# the updater's network namespace, if it has one: the updater then reaches it by the abstract
# socket of that namespace, not only by the file in /tmp/.X11-unix that anyone here can remove.
start_xvfb() {
    exec 3> "$work/display"
    ${1:+ip netns exec "$1"} Xvfb -displayfd 3 -noreset -ardelay 3600000 -nolisten tcp > "$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    wr_pids="$wr_pids $xvfb_pid"
    exec 3>&-
    wait_for 100 test -s "$work/display" || { echo "Xvfb did not start"; return 1; }
    DISPLAY=":$(head -n1 "$work/display")"
    export DISPLAY
}

# start_nginx DOCROOT HOST [NETNS]: serves DOCROOT at /files/ and sets nginx_port and nginx_pid. In a
# namespace of our own any port is free; on the machine's loopback, the first free one of a few random
# ones. With wr_access_log set, each request's URI, status and bytes sent (headers included) are
# appended to that file: the bytes on the wire, counted where they leave.
start_nginx() {
    docroot=$1; host=$2; ns=${3:-}
    mkdir -p "$work/nginx"
    scheme=http
    if [ -n "${wr_tls:-}" ]; then # HTTP/2 over TLS, the certificate trusted through SSL_CERT_FILE
        scheme=https
        openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=$host" -addext "subjectAltName=IP:$host" \
            -keyout "$work/tls.key" -out "$work/tls.pem" 2> /dev/null || { echo "no certificate"; return 1; }
        SSL_CERT_FILE="$work/tls.pem"
        export SSL_CERT_FILE
    fi
    access="access_log off;"
    [ -z "${wr_access_log:-}" ] || access="log_format wire '\$request_uri \$status \$bytes_sent \$body_bytes_sent'; access_log $wr_access_log wire;"
    if [ -n "$ns" ]; then ports=8080; else ports=$(shuf -i 20000-60000 -n 10); fi
    for nginx_port in $ports; do
        cat > "$work/nginx/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1;
pid $work/nginx/nginx.pid; error_log $work/nginx/error.log;
events { worker_connections 256; }
http {
    $access sendfile on; tcp_nopush on; tcp_nodelay on; keepalive_requests 100000;
    default_type application/octet-stream;
    client_body_temp_path $work/nginx/body; proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi; uwsgi_temp_path $work/nginx/uwsgi; scgi_temp_path $work/nginx/scgi;
    server { listen $host:$nginx_port${wr_tls:+ ssl http2; ssl_certificate $work/tls.pem; ssl_certificate_key $work/tls.key}; location /files/ { alias $docroot/; } }
}
CONF
        ${ns:+ip netns exec "$ns"} nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" \
            -e "$work/nginx/error.log" 2> /dev/null &
        candidate=$!
        probe() { ${ns:+ip netns exec "$ns"} curl -s -o /dev/null --max-time 2 ${wr_tls:+--cacert "$work/tls.pem"} "$scheme://$host:$nginx_port/files/"; }
        if wait_for 30 probe; then
            wr_pids="$wr_pids $candidate"
            nginx_pid=$candidate
            return 0
        fi
        kill "$candidate" 2>/dev/null || true
        wait "$candidate" 2>/dev/null || true
    done
    echo "nginx did not start: $(tail -n 3 "$work/nginx/error.log" 2>/dev/null)"
    return 1
}

# start_delayed_link RATE_MBIT [DELAYLINE-OPTIONS...]: a link with 50 ms round trips and RATE_MBIT
# between two network namespaces of our own, $server_ns (10.200.0.1) and $client_ns (10.200.0.2),
# through our delayline; wr_cleanup deletes the namespaces. The caller defines skip().
server_ns="bench-server-$$"
client_ns="bench-client-$$"
start_delayed_link() {
    rate=$1; shift
    wr_delayed=1
    [ -c /dev/net/tun ] || skip "no /dev/net/tun, so no delayed link"
    command -v ip > /dev/null || skip "no ip command (iproute2), so no network namespaces"
    ip netns add "$server_ns" 2>/dev/null || skip "cannot make a network namespace here"
    ip netns add "$client_ns" 2>/dev/null || skip "cannot make a network namespace here"
    # The link's run time is bounded on its own as well, in case this script is killed outright.
    "$build/bench/delayline" "$server_ns" "ds$$" "$client_ns" "dc$$" --delay-ms 25 --rate-mbit "$rate" \
        --max-seconds 600 "$@" > "$work/delayline.out" 2> "$work/delayline.err" &
    delayline_pid=$!
    wr_pids="$wr_pids $delayline_pid"
    settled() { grep -qs '^ready' "$work/delayline.out" || ! kill -0 "$delayline_pid" 2>/dev/null; }
    wait_for 50 settled
    grep -qs '^ready' "$work/delayline.out" || skip "no delayed link: $(cat "$work/delayline.err")"
    ip -n "$server_ns" addr add 10.200.0.1/24 dev "ds$$"
    ip -n "$client_ns" addr add 10.200.0.2/24 dev "dc$$"
    for ns in "$server_ns" "$client_ns"; do ip -n "$ns" link set lo up; done
    ip -n "$server_ns" link set "ds$$" up
    ip -n "$client_ns" link set "dc$$" up
}

# start_service RELEASE HOST DOWNLOAD_URL [NETNS]: publishes RELEASE as 2.0.0, signed with the demo
# release key the updater trusts (unsigned, the base format, with wr_unsigned set), and starts the
# update service on it; sets endpoint and service_pid.
start_service() {
    if [ -n "${wr_unsigned:-}" ]; then
        "$build/service/update-service" publish "$1" --version 2.0.0 > /dev/null
    else
        "$build/service/update-service" publish "$1" --version 2.0.0 \
            --sign "$root/service/demo-keys/release-private.der" > /dev/null
    fi
    : > "$work/service.out"
    ${4:+ip netns exec "$4"} "$build/service/update-service" serve --release "$1" \
        --key "$root/service/demo-keys/private.der" --listen "$2:0" --download-url "$3" \
        > "$work/service.out" 2> "$work/service.err" &
    service_pid=$!
    wr_pids="$wr_pids $service_pid"
    wait_for 100 grep -qs '^listening on ' "$work/service.out" ||
        { echo "update-service did not start: $(tail -n 3 "$work/service.err")"; return 1; }
    endpoint="http://$(sed -n 's/^listening on //p' "$work/service.out" | head -n1)/api/upgrade"
}

stop_service() { [ -z "${service_pid:-}" ] || { kill "$service_pid" 2>/dev/null; wait "$service_pid" 2>/dev/null; } || true; }

# make_install DIR [PREFETCH]: the updater (a copy: it finds the installation from its own path;
# wr_updater names another build of it) and its config.xml; nothing else, so every release file is
# downloaded.
make_install() {
    set_aside "$1"
    rm -rf "$1"
    mkdir -p "$1/updater"
    cp "${wr_updater:-$build/app/updater}" "$1/updater/updater"
    printf '<config><Update>%s</Update>%s</config>\n' "$endpoint" "${2:+<Prefetch>$2</Prefetch>}" \
        > "$1/updater/config.xml"
}

# Back to the empty installation; the page cache's dirty data of the last run is written out first,
# untimed, so that it does not land on the next run's bill. The last run's files are moved aside,
# not deleted: ext4 passes over recently freed inodes one by one when it makes a file, and thousands
# freed a moment ago would make both tools pay for a deletion no user does before an update.
set_aside() {
    [ -e "$1" ] || return 0
    wr_aside=$((${wr_aside:-0} + 1))
    mkdir -p "${runs:-$work}/aside/$wr_aside"
    find "$1" -mindepth 1 -maxdepth 1 ! -name updater -exec mv -t "${runs:-$work}/aside/$wr_aside" {} +
}

reset_install() {
    set_aside "$1"
    sync
}

# busy_disk_start / busy_disk_stop: another process writing to the disk the runs write to, as a
# backup or a browser's cache would, 64 MiB at a time, each made durable.
busy_disk_start() {
    ( while :; do dd if=/dev/zero of="$runs/busy" bs=1M count=64 conv=fsync status=none || exit; done ) &
    busy_pid=$!
    wr_pids="$wr_pids $busy_pid"
}
busy_disk_stop() { kill "$busy_pid" 2>/dev/null || true; wait "$busy_pid" 2>/dev/null || true; rm -f "$runs/busy"; }

# run_ours INSTALL [NETNS]: one whole run, updater-launch start to exit; sets took and peak_kib.
# Our runs and curl's both get a private IPC and PID namespace: the segment "Download_inf" and the
# processes named "Trelvox.exe" that the updater ends are then ours alone, whatever else runs here.
run_ours() {
    start=$(now_ns)
    waited ${2:+ip netns exec "$2"} timeout 120 unshare --ipc --pid --fork --kill-child --mount-proc \
        "$build/launcher/updater-launch" --token bench \
        /usr/bin/time -f %M -o "$work/peak" "$1/updater/updater" > "$work/ours.log" 2>&1
    end=$(now_ns)
    took=$(seconds_between "$start" "$end")
    peak_kib=$(tail -n1 "$work/peak" 2>/dev/null || echo 0)
}

# run_curl CONFIG OUTDIR [NETNS] [CURL-OPTIONS...]: one curl invocation for every URL; sets took.
run_curl() {
    cfg=$1; out=$2; ns=$3; shift 3
    set_aside "$out"
    mkdir -p "$out"
    sync
    start=$(now_ns)
    waited ${ns:+ip netns exec "$ns"} timeout 120 unshare --ipc --pid --fork --kill-child --mount-proc \
        curl -sf --max-time 110 "$@" -K "$cfg" 2> "$work/curl.log"
    end=$(now_ns)
    took=$(seconds_between "$start" "$end")
}

# tree_holds DIR COUNT BYTES: DIR has exactly COUNT files of BYTES in all (the updater's own folder,
# tmps, version.xml and release.state aside).
tree_holds() {
    set -- "$1" "$2" "$3" "$(find "$1" -type f ! -path "$1/updater/*" ! -path "$1/tmps/*" ! -path "$1/version.xml" ! -path "$1/release.state" \
        -printf '%s\n' | awk '{ n++; b += $1 } END { printf "%d %d", n, b }')"
    [ "$4" = "$2 $3" ] && return 0
    echo "expected $2 files of $3 bytes, found (files bytes) $4"
    return 1
}

# ours_complete INSTALL COUNT BYTES: every file arrived and version.xml lists each at 2.0.0. The
# updater's exit status is 0 whatever happened, so this is the only sign of success.
ours_complete() {
    tree_holds "$1" "$2" "$3" || return 1
    listed=$(grep -o '<FILE version="2.0.0">' "$1/version.xml" 2>/dev/null | wc -l)
    [ "$listed" -eq "$2" ] || { echo "version.xml lists $listed files at 2.0.0, not $2"; return 1; }
    [ -z "$(ls -A "$1/tmps" 2>/dev/null)" ] || { echo "temporary files left in tmps"; return 1; }
}

# A curl config fetching every file below RELEASE (the listings and the smaller forms aside) from
# BASE into OUTDIR.
curl_config() {
    ( cd "$1" && find . -type f ! -name release.json ! -name release-signed.json ! -path './.trelvox-forms/*' | sed 's|^\./||' | sort ) | awk -v base="$2" -v out="$3" '{
        name = $0; gsub("/", "_", name)
        printf "url = \"%s/%s\"\noutput = \"%s/%s\"\n", base, $0, out, name
    }'
}

# compare: the warm-up pair, then three rounds of ours_round and curl_round (defined per scenario,
# each returning non-zero with a reason when its files did not all arrive); sets ours_best,
# curl_best and peak_max.
compare() {
    ours_best=""; curl_best=""; peak_max=0
    for round in 0 1 2 3; do
        ours_round || { fail "our run $round did not complete"; return 1; }
        ours_took=$took
        peak_max=$(max "$peak_max" "$peak_kib")
        curl_round || { fail "curl run $round did not complete: $(head -c 300 "$work/curl.log")"; return 1; }
        if [ "$round" -eq 0 ]; then
            echo "  warm-up: ours $ours_took s, curl $took s"
        else
            echo "  round $round: ours $ours_took s, curl $took s"
            ours_best=$(min "$ours_best" "$ours_took")
            curl_best=$(min "$curl_best" "$took")
        fi
    done
}

# The summary: one row per figure. Ratios are ours over curl's, for times and throughputs alike.
table_head() {
    printf '  %-28s %12s %12s %8s %9s  %s\n' "" ours curl ratio goal verdict
}
# table_row NAME OURS CURL RATIO GOAL-OPERATOR GOAL
table_row() {
    awk -v name="$1" -v o="$2" -v c="$3" -v r="$4" -v op="$5" -v goal="$6" 'BEGIN {
        met = (op == "<=") ? (r <= goal) : (op == "<") ? (r < goal) : (r >= goal)
        printf "  %-28s %12s %12s %8s %9s  %s\n", name, o, c, (r == "") ? "-" : sprintf("%.2fx", r),
            op " " goal "x", met ? "met" : "missed"
    }'
}
# limit_row NAME VALUE LIMIT UNIT: a figure of ours alone, held against a limit.
limit_row() {
    awk -v name="$1" -v v="$2" -v limit="$3" -v unit="$4" 'BEGIN {
        printf "  %-28s %12s %12s %8s %9s  %s\n", name, sprintf("%.1f %s", v, unit), "-", "-",
            "< " limit " " unit, (v < limit) ? "met" : "missed"
    }'
}
info_row() { printf '  %-28s %12s %12s\n' "$1" "$2" "$3"; }

# A run that did not complete ends its scenario: its time would mean nothing.
fail() {
    echo "FAILED: $*"
    [ ! -s "$work/ours.log" ] || { echo "  the updater's output (last lines):"; tail -n 5 "$work/ours.log" | sed 's/^/    /'; }
    if [ -n "${xvfb_pid:-}" ] && ! kill -0 "$xvfb_pid" 2>/dev/null; then
        echo "  the X server had exited: $(tail -n 3 "$work/xvfb.log" | tr '\n' ' ')"
    elif [ -n "${DISPLAY:-}" ] && [ ! -S "/tmp/.X11-unix/X${DISPLAY#:}" ]; then
        echo "  the X server's socket /tmp/.X11-unix/X${DISPLAY#:} had been removed"
    fi
    wr_status=1
}
