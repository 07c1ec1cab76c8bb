#!/bin/sh
# What an update costs on the wire when the publisher keeps patches: whole runs of the real updater
# on an installation of the previous release, the bytes nginx sent for the files counted in its own
# access log, against zstd -19 and zstd -19 --patch-from of the same changed files, in the same run:
#   1. a real security update, Debian's libreoffice-core 4:7.4.7-1+deb12u13 to +deb12u14: wire bytes
#      at most 1.6 % of the changed files' raw bytes; our peak memory under 2.2 times the largest
#      changed file + 64 MiB; the installation ends equal to the new tree;
#   1b. Debian's libssl3 3.0.20-1~deb12u2 to 3.0.22-1~deb12u2, its shared objects alone: at most
#      117,000 bytes on the wire;
#   1c. a browser's major jump, Debian's chromium 150.0.7871.100-1~deb12u1 to 156.0.8078.129-1~deb12u1:
#      no more on the wire than with byte-level patches alone;
#   2. 1 % of a 50 MiB file of random bytes changed in scattered 4 KiB blocks: wire bytes at most
#      1.5 % of the file;
#   3. update 2 over a 50 ms round trip, 10 Mbit/s link: our time at most a tenth of curl fetching
#      the changed file from the same nginx.
# Where both patch forms of a file are kept, the same run also gives the wire bytes with byte-level
# patches alone, and the apply time and peak memory of each form for the largest such file.
# The six packages are fetched once into BUILD/bench-cache (`sh bench/bench_patches.sh BUILD fetch`
# does only that, for a run in a namespace without a network); without them updates 1 to 1c are
# skipped. Names after BUILD (office, ssl, browser, synthetic) run those updates alone.
set -eu
build="$1"
shift
rows="${*:-office ssl browser synthetic}"
wanted() { case " $rows " in *" $1 "*) return 0 ;; *) return 1 ;; esac; }
here="$(cd "$(dirname "$0")" && pwd)"
cache_root="$build/bench-cache"
old_version="4:7.4.7-1+deb12u13"
new_version="4:7.4.7-1+deb12u14"
ssl_old_version="3.0.20-1~deb12u2"
ssl_new_version="3.0.22-1~deb12u2"
browser_old_version="150.0.7871.100-1~deb12u1"
browser_new_version="156.0.8078.129-1~deb12u1"

# deb_of PACKAGE VERSION: the cached package of that version, fetched first if need be; on failure, why.
deb_of() {
    cache="$cache_root/$1"
    mkdir -p "$cache"
    found=$(find "$cache" -maxdepth 1 -name "${1}_*${2#*:}_amd64.deb" | head -n1)
    if [ -z "$found" ]; then
        # apt writes into the current folder; a partial download stays in its own folder.
        if ! (cd "$cache" && apt-get download "$1=$2") > "$cache/fetch.log" 2>&1; then
            echo "cannot fetch $1=$2: $(grep '^E:' "$cache/fetch.log" | head -n2 | tr '\n' ' ')"
            return 1
        fi
        found=$(find "$cache" -maxdepth 1 -name "${1}_*${2#*:}_amd64.deb" | head -n1)
        [ -n "$found" ] || { echo "apt-get download left no package of $1=$2 in $cache"; return 1; }
    fi
    echo "$found"
}

if [ "${1:-}" = fetch ]; then
    deb_of libreoffice-core "$old_version" && deb_of libreoffice-core "$new_version" &&
        deb_of libssl3 "$ssl_old_version" && deb_of libssl3 "$ssl_new_version" &&
        deb_of chromium "$browser_old_version" && deb_of chromium "$browser_new_version"
    exit
fi

work="$(mktemp -d)"
. "$here/wholerun.sh"
trap wr_cleanup EXIT
trap 'exit 1' INT TERM

key="$root/service/demo-keys/release-private.der"
wr_access_log="$work/access.log"
publish() { "$build/service/update-service" publish "$@"; }

# Bytes nginx sent for the files since the log was last emptied, headers included.
wire_bytes() { awk '$1 ~ /^\/files\// { b += $3 } END { printf "%d", b }' "$wr_access_log"; }
# What each request was: the form's kind, a short name (forms are named by digests) and its bytes.
wire_lines() {
    awk '$1 ~ /^\/files\// { kind = ($1 ~ /\.xpatch$/) ? "executable-aware patch" : ($1 ~ /\.patch$/) ? "patch" : ($1 ~ /\.zst$/) ? "compressed copy" : "file"
        name = $1; sub(/^\/files\/[^\/]*\//, "", name); if (kind != "file") name = substr(name, 16, 12) "..."
        printf "    %s %s: %d bytes sent, status %s\n", kind, name, $3, $2 }' "$wr_access_log"
}

# publish_pair OLD NEW RELEASE: RELEASE is OLD published as 1.0.0, then NEW over it as 2.0.0 with
# patches from OLD, as a vendor does release after release: unchanged files keep 1.0.0, so only the
# changed ones are offered. The second publish's own lines are printed.
publish_pair() {
    mkdir -p "$3"
    cp -a "$1/." "$3/"
    start=$(now_ns)
    publish "$3" --version 1.0.0 --sign "$key" > "$work/publish1.out" 2>&1 ||
        { cat "$work/publish1.out"; return 1; }
    echo "  publish 1.0.0 (compressed copies of every file) took $(seconds_between "$start" "$(now_ns)") s: $(grep '^forms:' "$work/publish1.out")"
    find "$3" -mindepth 1 -maxdepth 1 ! -name .trelvox-forms ! -name release.json ! -name release-signed.json \
        -exec rm -rf {} +
    cp -a "$2/." "$3/"
    start=$(now_ns)
    "$build/service/update-service" publish "$3" --version 2.0.0 \
        --sign "$key" --delta-from "$1" > "$work/publish2.out" 2>&1 || { cat "$work/publish2.out"; return 1; }
    # The publisher lowers its high-water mark before each file, so the process's own peak (time's %M)
    # is only the last file's; the highest per-file peak stands for the publish's.
    echo "  publish 2.0.0 --delta-from the old tree took $(seconds_between "$start" "$(now_ns)") s," \
        "peak $(sed -n 's/.*peak memory \([0-9.]*\) MiB$/\1/p' "$work/publish2.out" | sort -n | tail -n1) MiB; its lines:"
    sed 's/^/    /' "$work/publish2.out"
}

# changed_files OLD NEW: the paths of NEW's files whose bytes differ from OLD's, one a line.
changed_files() {
    (cd "$2" && find . -type f | sed 's|^\./||' | sort) | while read -r path; do
        cmp -s "$1/$path" "$2/$path" || echo "$path"
    done
}

# lay_install DIR OLD: the updater in DIR, OLD's files beside it (times kept, as an installer leaves
# them) and a version.xml listing each at 1.0.0.
lay_install() {
    make_install "$1"
    cp -a "$2/." "$1/"
    set --  "$1" "$2"
    for path in $(cd "$2" && find . -type f | sed 's|^\./||' | sort); do set -- "$@" "$path=1.0.0"; done
    target=$1; shift 2
    "$build/service/update-service" write-manifest "$target/version.xml" "$@" > /dev/null
}

# installed_as INSTALL NEW CHANGED: INSTALL's files are NEW's byte for byte, version.xml lists the
# CHANGED files at 2.0.0, and no temporary file is left.
installed_as() {
    diff -r --no-dereference -x version.xml -x release.state -x updater -x tmps "$2" "$1" > "$work/diff.out" 2>&1 ||
        { echo "the installation differs from the new tree: $(head -n 3 "$work/diff.out" | tr '\n' ' ')"; return 1; }
    listed=$(grep -o '<FILE version="2.0.0">' "$1/version.xml" 2>/dev/null | wc -l)
    [ "$listed" -eq "$3" ] || { echo "version.xml lists $listed files at 2.0.0, not $3"; return 1; }
    [ -z "$(ls -A "$1/tmps" 2>/dev/null)" ] || { echo "temporary files left in tmps"; return 1; }
}

sum_sizes() { while read -r path; do stat -c %s "$1/$path"; done | awk '{ b += $1 } END { printf "%d", b }'; }
# reference_sizes OLD NEW: the sums over the changed files of zstd -19, of zstd -19 --patch-from=OLD
# and of bsdiff. bsdiff takes some 17 times the old file in memory and, on a large one, long: past
# bsdiff_seconds or bsdiff_gib for any file it is left out, bsdiff_patch empty and bsdiff_why saying so.
bsdiff_seconds=900
bsdiff_gib=12
reference_sizes() {
    zstd_plain=0; zstd_patch=0; bsdiff_patch=0; bsdiff_why=""
    for path in $changed; do
        # zstd's advice on its own settings is not a figure of this run.
        plain=$(zstd -q -19 -c "$2/$path" 2> /dev/null | wc -c)
        patch=$(zstd -q -19 --patch-from="$1/$path" -c "$2/$path" 2> /dev/null | wc -c)
        zstd_plain=$((zstd_plain + plain)); zstd_patch=$((zstd_patch + patch))
        [ -z "$bsdiff_why" ] || continue
        start=$(now_ns)
        bs_status=0
        timeout "$bsdiff_seconds" prlimit --as=$((bsdiff_gib << 30)) bsdiff "$1/$path" "$2/$path" "$work/bsdiff.out" \
            > "$work/bsdiff.log" 2>&1 || bs_status=$?
        if [ "$bs_status" -eq 0 ]; then
            bsdiff_patch=$((bsdiff_patch + $(stat -c %s "$work/bsdiff.out")))
        elif [ "$bs_status" -eq 124 ]; then
            bsdiff_why="left out: $path ($(stat -c %s "$1/$path") bytes) took more than $bsdiff_seconds s"
        else
            bsdiff_why="left out: $path ($(stat -c %s "$1/$path") bytes) failed within $bsdiff_gib GiB after $(seconds_between "$start" "$(now_ns)") s: $(head -c 120 "$work/bsdiff.log" | tr '\n' ' ')"
        fi
        [ -z "$bsdiff_why" ] || bsdiff_patch=""
        rm -f "$work/bsdiff.out"
    done
}

# The same run's wire bytes had the updater known byte-level patches alone: then it takes the
# byte-level patch from the same copy, so each executable-aware patch it fetched is swapped for
# that one, fetched from the same nginx (headers and all). Sets byte_level_wire and swapped.
byte_level_wire() {
    awk '$1 ~ /^\/files\/.*\.xpatch$/ && $2 == 200 { print $1 }' "$wr_access_log" > "$work/xpatches"
    executable_sent=$(awk '$1 ~ /^\/files\/.*\.xpatch$/ { b += $3 } END { printf "%d", b }' "$wr_access_log")
    cp "$wr_access_log" "$work/run.log"
    : > "$wr_access_log"
    swapped=0
    while read -r uri; do
        # Fetched after a failed executable-aware patch, the byte-level one is in the run already.
        grep -q "^${uri%.xpatch}.patch " "$work/run.log" && continue
        curl -sf -o /dev/null "$files_root${uri%.xpatch}.patch" || { fail "cannot fetch ${uri%.xpatch}.patch"; return 1; }
        swapped=$((swapped + 1))
    done < "$work/xpatches"
    # nginx logs a request once it has sent it, a moment after curl may have it all.
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        [ "$(grep -c . "$wr_access_log")" -ge "$swapped" ] && break
        sleep 0.2
    done
    byte_level_wire=$((wire - executable_sent + $(wire_bytes)))
    cp "$work/run.log" "$wr_access_log"
}

# apply_bounds RELEASE OLD NEW: for the largest changed file with both patch forms kept, each applied
# to OLD's copy as the updater does (bench_patchsize --apply), in turn, best of three; the
# executable-aware form may take at most twice the byte-level one's time and peak memory.
apply_bounds() {
    forms="$1/.trelvox-forms"
    best_path=""; best_size=0
    for path in $changed; do
        pair="$(sha256sum "$2/$path" | cut -c1-64)-$(sha256sum "$3/$path" | cut -c1-64)"
        size=$(stat -c %s "$3/$path")
        if [ -f "$forms/$pair.patch" ] && [ -f "$forms/$pair.xpatch" ] && [ "$size" -gt "$best_size" ]; then
            best_path=$path; best_size=$size; best_pair=$pair
        fi
    done
    [ -n "$best_path" ] || { echo "  applying: no changed file has both patch forms"; return 0; }
    byte_ms=""; byte_kib=""; exec_ms=""; exec_kib=""
    for round in 1 2 3; do
        for kind in patch xpatch; do
            "$build/bench/bench_patchsize" --apply "$2/$best_path" "$forms/$best_pair.$kind" "$3/$best_path" \
                > "$work/apply.out" 2>&1 || { fail "applying the $kind of $best_path: $(cat "$work/apply.out")"; return 1; }
            ms=$(awk '$1 == "apply_ms" { print $2 }' "$work/apply.out")
            kib=$(awk '$1 == "peak_kib" { print $2 }' "$work/apply.out")
            if [ "$kind" = patch ]; then byte_ms=$(min "$byte_ms" "$ms"); byte_kib=$(max "$byte_kib" "$kib")
            else exec_ms=$(min "$exec_ms" "$ms"); exec_kib=$(max "$exec_kib" "$kib"); fi
        done
    done
    echo "  applying the kept forms of $best_path ($best_size bytes) to the old copy, best of three:"
    printf '  %-34s %12s %12s %11s %11s  %s\n' "" byte-level executable ratio goal verdict
    awk -v b="$byte_ms" -v x="$exec_ms" 'BEGIN { printf "  %-34s %10.2f s %10.2f s %10.2fx %11s  %s\n", "apply time",
        b / 1000, x / 1000, x / b, "<= 2x", (x <= 2 * b) ? "met" : "missed" }'
    awk -v b="$byte_kib" -v x="$exec_kib" 'BEGIN { printf "  %-34s %8.1f MiB %8.1f MiB %10.2fx %11s  %s\n", "peak resident memory",
        b / 1024, x / 1024, x / b, "<= 2x", (x <= 2 * b) ? "met" : "missed" }'
}

bytes_head() { printf '  %-34s %12s %9s %10s %11s  %s\n' "" bytes "of raw" "ours/this" goal verdict; }
# bytes_row NAME BYTES RAW [GOAL-PERCENT]: with a goal, ours held against it; without, a reference.
bytes_row() {
    awk -v name="$1" -v b="$2" -v raw="$3" -v ours="$wire" -v goal="${4:-}" 'BEGIN {
        pct = 100 * b / raw
        if (goal == "")
            printf "  %-34s %12d %8.2f%% %9.2fx\n", name, b, pct, ours / b
        else
            printf "  %-34s %12d %8.2f%% %10s %11s  %s\n", name, b, pct, "-", "<= " goal " %", (pct <= goal) ? "met" : "missed"
    }'
}
count_row() { printf '  %-34s %12s\n' "$1" "$2"; }
# mem_row KIB LIMIT-MIB: our peak in the columns of the bytes rows.
mem_row() {
    awk -v k="$1" -v limit="$2" 'BEGIN { printf "  %-34s %12s %9s %10s %11s  %s\n", "our peak resident memory",
        sprintf("%.1f MiB", k / 1024), "", "", "< " limit " MiB", (k / 1024 < limit) ? "met" : "missed" }'
}

# One whole run on the loopback installation, checked; sets wire.
loopback_run() {
    lay_install "$runs/install" "$1"
    sync
    : > "$wr_access_log"
    run_ours "$runs/install"
    wire=$(wire_bytes)
    installed_as "$runs/install" "$2" "$3"
}

# report OLD NEW GOAL-PERCENT [GOAL-BYTES]: the rows of one update over loopback.
report() {
    changed=$(changed_files "$1" "$2")
    count=$(echo "$changed" | grep -c .)
    raw=$(echo "$changed" | sum_sizes "$2")
    if ! loopback_run "$1" "$2" "$count"; then fail "the update did not complete"; return 1; fi
    echo "  whole run: $took s; what the updater fetched:"
    wire_lines
    byte_level_wire || return 1
    reference_sizes "$1" "$2"
    count_row "files" "$(cd "$2" && find . -type f | wc -l)"
    count_row "changed files" "$count"
    count_row "raw bytes of the changed files" "$raw"
    bytes_head
    bytes_row "wire bytes for the files, ours" "$wire" "$raw" "$3"
    bytes_row "zstd -19" "$zstd_plain" "$raw"
    bytes_row "zstd -19 --patch-from=OLD" "$zstd_patch" "$raw"
    if [ -n "$bsdiff_patch" ]; then bytes_row "bsdiff" "$bsdiff_patch" "$raw"
    else printf '  %-34s %s\n' "bsdiff" "$bsdiff_why"; fi
    # Nothing gets worse: ours no more than this.
    [ "$swapped" -eq 0 ] || awk -v b="$byte_level_wire" -v raw="$raw" -v ours="$wire" 'BEGIN {
        printf "  %-34s %12d %8.2f%% %9.2fx %11s  %s\n", "ours, byte-level patches alone", b, 100 * b / raw, ours / b,
            "ours <= it", (ours <= b) ? "met" : "missed" }'
    if [ -n "${4:-}" ]; then
        awk -v b="$wire" -v goal="$4" 'BEGIN { printf "  %-34s %12d %9s %10s %11s  %s\n", "wire bytes against the byte goal",
            b, "", "", "<= " goal, (b <= goal) ? "met" : "missed" }'
    fi
}

fresh_filesystem 4G
start_xvfb || { fail "no X display"; exit 1; }
mkdir -p "$work/www"
start_nginx "$work/www" 127.0.0.1 || { fail "no file server"; exit 1; }
loopback_nginx=$nginx_pid
files_root="http://127.0.0.1:$nginx_port"
files="$files_root/files"

echo "== a security update: libreoffice-core $old_version to $new_version, one whole run over loopback"
why=""
wanted office || why="not asked for"
[ -n "$why" ] || old_deb=$(deb_of libreoffice-core "$old_version") || why=$old_deb
[ -n "$why" ] || new_deb=$(deb_of libreoffice-core "$new_version") || why=$new_deb
if [ -z "$why" ]; then
    mkdir -p "$work/lo"
    dpkg-deb -x "$old_deb" "$work/lo/old" && dpkg-deb -x "$new_deb" "$work/lo/new"
    if publish_pair "$work/lo/old" "$work/lo/new" "$work/www/lo" &&
        start_service "$work/www/lo" 127.0.0.1 "$files/lo"; then
        if report "$work/lo/old" "$work/lo/new" 1.6; then
            largest=$(echo "$changed" | while read -r path; do stat -c %s "$work/lo/new/$path"; done | sort -n | tail -n1)
            # time waits for the updater itself, so %M is the updater's own peak, patching included.
            mem_row "$peak_kib" "$(awk -v l="$largest" 'BEGIN { printf "%.1f", 2.2 * l / 1048576 + 64 }')"
            echo "  the installation equals the new tree (diff -r, version.xml and release.state aside): yes"
            apply_bounds "$work/www/lo" "$work/lo/old" "$work/lo/new" || true
        fi
        stop_service
    else
        fail "the release could not be published or served"
    fi
    rm -rf "$work/lo" "$work/www/lo"
else
    echo "  skipped: $why"
fi

echo "== a security update: libssl3 $ssl_old_version to $ssl_new_version, its shared objects, one whole run over loopback"
why=""
wanted ssl || why="not asked for"
[ -n "$why" ] || old_deb=$(deb_of libssl3 "$ssl_old_version") || why=$old_deb
[ -n "$why" ] || new_deb=$(deb_of libssl3 "$ssl_new_version") || why=$new_deb
if [ -z "$why" ]; then
    mkdir -p "$work/ssl/x" "$work/ssl/y" "$work/ssl/old" "$work/ssl/new"
    dpkg-deb -x "$old_deb" "$work/ssl/x" && dpkg-deb -x "$new_deb" "$work/ssl/y"
    # The shared objects alone, the package's documentation aside.
    cp -a "$work/ssl/x/usr/lib/." "$work/ssl/old/" && cp -a "$work/ssl/y/usr/lib/." "$work/ssl/new/"
    if publish_pair "$work/ssl/old" "$work/ssl/new" "$work/www/ssl" &&
        start_service "$work/www/ssl" 127.0.0.1 "$files/ssl"; then
        report "$work/ssl/old" "$work/ssl/new" 100 117000 || true
        stop_service
    else
        fail "the release could not be published or served"
    fi
    rm -rf "$work/ssl" "$work/www/ssl"
else
    echo "  skipped: $why"
fi

echo "== a browser's major jump: chromium $browser_old_version to $browser_new_version, one whole run over loopback"
why=""
wanted browser || why="not asked for"
[ -n "$why" ] || old_deb=$(deb_of chromium "$browser_old_version") || why=$old_deb
[ -n "$why" ] || new_deb=$(deb_of chromium "$browser_new_version") || why=$new_deb
if [ -z "$why" ]; then
    mkdir -p "$work/br"
    dpkg-deb -x "$old_deb" "$work/br/old" && dpkg-deb -x "$new_deb" "$work/br/new"
    # A release lists files, not symbolic links: the package's one, to an icon, is left out.
    find "$work/br/old" "$work/br/new" -type l -delete
    if publish_pair "$work/br/old" "$work/br/new" "$work/www/br" &&
        start_service "$work/www/br" 127.0.0.1 "$files/br"; then
        # The goal is the byte-level figure of the same run (the row "ours against byte-level alone").
        if report "$work/br/old" "$work/br/new" 100; then
            largest=$(echo "$changed" | while read -r path; do stat -c %s "$work/br/new/$path"; done | sort -n | tail -n1)
            mem_row "$peak_kib" "$(awk -v l="$largest" 'BEGIN { printf "%.1f", 2.2 * l / 1048576 + 64 }')"
            # A file above the publisher's limit gets no patch at all, of either form.
            if grep -q 'above the patch limit' "$work/publish2.out"; then
                echo "  above the publisher's patch limit, so sent whole or compressed:"
                grep 'above the patch limit' "$work/publish2.out"
            else
                echo "  the largest changed file, $largest bytes, is under the publisher's patch limit (1 GiB unless --patch-limit)"
            fi
            apply_bounds "$work/www/br" "$work/br/old" "$work/br/new" || true
        fi
        stop_service
    else
        fail "the release could not be published or served"
    fi
    rm -rf "$work/br" "$work/www/br"
else
    echo "  skipped: $why"
fi

if ! wanted synthetic; then
    kill "$loopback_nginx" 2>/dev/null || true
    wait "$loopback_nginx" 2>/dev/null || true
    exit $wr_status
fi

echo "== 1 % of a 50 MiB file changed in scattered 4 KiB blocks, one whole run over loopback"
mkdir -p "$work/s/old/data" "$work/s/new/data"
# Deterministic: the same bytes and the same blocks every run.
python3 - "$work/s" <<'PY'
import random, sys
size, block = 50 << 20, 4096
rng = random.Random(20250101)
data = bytearray(rng.randbytes(size))
open(sys.argv[1] + "/old/data/assets.pak", "wb").write(data)
for b in rng.sample(range(size // block), size // 100 // block):
    data[b * block:(b + 1) * block] = rng.randbytes(block)
open(sys.argv[1] + "/new/data/assets.pak", "wb").write(data)
PY
synthetic_ok=""
if publish_pair "$work/s/old" "$work/s/new" "$work/www/s" && start_service "$work/www/s" 127.0.0.1 "$files/s"; then
    report "$work/s/old" "$work/s/new" 1.5 && synthetic_ok=yes
    stop_service
else
    fail "the release could not be published or served"
fi
kill "$loopback_nginx" 2>/dev/null || true
wait "$loopback_nginx" 2>/dev/null || true

echo "== the 50 MiB update over a 50 ms, 10 Mbit/s link: whole run against curl fetching the changed file"
skip() { echo "  skipped: $*"; exit $wr_status; }
[ -n "$synthetic_ok" ] || skip "the update over loopback did not complete"
start_delayed_link 10

start_xvfb "$client_ns" || { fail "no X display"; exit 1; }
mkdir -p "$work/www/probe"
head -c $((4 * 1024 * 1024)) /dev/urandom > "$work/www/probe/4m.bin"
start_nginx "$work/www" 10.200.0.1 "$server_ns" || { fail "no file server"; exit 1; }
files="http://10.200.0.1:$nginx_port/files"
client() { ip netns exec "$client_ns" "$@"; }
if command -v ping > /dev/null; then
    rtt=$(client ping -c 5 -i 0.2 -q 10.200.0.1 | awk -F/ '/^rtt/ { print $5 }')
else
    rtt=$(client curl -sI -o /dev/null --max-time 5 -w '%{time_connect}' "$files/probe/4m.bin" | awk '{ print $1 * 1000 }')
fi
awk -v r="${rtt:-0}" 'BEGIN { exit !(r >= 45 && r <= 70) }' ||
    { fail "the link's round trip is ${rtt:-unknown} ms, not about 50 ms"; exit 1; }
rate=$(client curl -sf -o /dev/null --max-time 30 -w '%{speed_download}' "$files/probe/4m.bin" |
    awk '{ printf "%.1f", $1 * 8 / 1e6 }')
echo "  link: round trip ${rtt} ms, 4 MiB in one fetch at ${rate} Mbit/s"
awk -v r="${rate:-999}" 'BEGIN { exit !(r <= 10.5) }' || { fail "the link is not held to 10 Mbit/s"; exit 1; }

start_service "$work/www/s" 10.200.0.1 "$files/s" "$server_ns" || { fail "the update service did not start"; exit 1; }
printf 'url = "%s"\noutput = "%s"\n' "$files/s/data/assets.pak" "$work/curl-out/assets.pak" > "$work/s.cfg"
size=$(stat -c %s "$work/s/new/data/assets.pak")
# Ours is cheap, so a warm-up and the best of three; curl's one run takes ~45 s and its time moves
# little at a fixed rate.
ours_best=""
for round in 0 1 2 3; do
    lay_install "$runs/install3" "$work/s/old"
    sync
    : > "$wr_access_log"
    run_ours "$runs/install3" "$client_ns"
    installed_as "$runs/install3" "$work/s/new" 1 || { fail "our run $round did not complete"; exit 1; }
    if [ "$round" -eq 0 ]; then
        echo "  warm-up: ours $took s, $(wire_bytes) bytes on the wire"
    else
        echo "  round $round: ours $took s, $(wire_bytes) bytes on the wire"
        ours_best=$(min "$ours_best" "$took")
    fi
done
run_curl "$work/s.cfg" "$work/curl-out" "$client_ns"
tree_holds "$work/curl-out" 1 "$size" || { fail "curl's run did not complete: $(head -c 300 "$work/curl.log")"; exit 1; }
cmp -s "$work/curl-out/assets.pak" "$work/s/new/data/assets.pak" || { fail "curl fetched other bytes"; exit 1; }
echo "  curl: $took s for $size bytes"
table_head
table_row "whole run time" "$ours_best s" "$took s" "$(awk -v o="$ours_best" -v c="$took" 'BEGIN { print o / c }')" "<=" 0.1
limit_row "our peak resident memory" "$(awk -v k="$peak_kib" 'BEGIN { print k / 1024 }')" \
    "$(awk -v l="$size" 'BEGIN { printf "%.1f", 2.2 * l / 1048576 + 64 }')" MiB
exit $wr_status
