#!/bin/sh
# make demo: one whole update, watched. A release of a few files (one of 50 MB, one in a nested
# folder) is published and served by update-service on loopback; a demo installation with an older
# version.xml and a running stand-in Trelvox.exe is updated by the real updater, started through
# updater-launch with a token. The window shows on $DISPLAY, or under a private Xvfb with a
# screenshot taken mid-download. Everything it makes stays in BUILD/demo.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
demo="$build/demo"
release="$demo/release"
install="$demo/install"
log="$demo/trelvox.log"

service_pid=""
files_pid=""
xvfb_pid=""
stand_in_pid=""
launcher_pid=""
cleanup() {
    for pid in $launcher_pid $service_pid $files_pid $xvfb_pid $stand_in_pid; do
        kill "$pid" 2>/dev/null || true
    done
    # The stand-ins the updater started itself are known by the ids they wrote down.
    [ -f "$log" ] && cut -d' ' -f1 "$log" | while read -r pid; do kill "$pid" 2>/dev/null || true; done
    return 0
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say() { printf '\n== %s\n' "$*"; }
# The FILE entries of a version.xml as "path version" lines.
manifest_entries() { sed -n 's|.*<FILE version="\([^"]*\)">\(.*\)</FILE>.*|  \2 \1|p' "$1"; }
running() { [ -r "/proc/$1/stat" ] && ! sed 's/.*) //' "/proc/$1/stat" | grep -q '^[ZX]'; }
. "$root/scripts/waitfor.sh"

rm -rf "$demo"
mkdir -p "$release" "$install/updater" "$install/tmps"

stand_in() { # version: a Trelvox.exe that notes its start and then stays up
    cat <<EOF
#!/bin/sh
echo "\$\$ $1 \$(pwd -P)" >> '$log'
i=0
while [ \$i -lt 600 ]; do sleep 1; i=\$((i + 1)); done
EOF
}

say "release 2.0.0: made and published"
stand_in 2.0.0 > "$release/Trelvox.exe"
chmod 755 "$release/Trelvox.exe"
printf 'Trelvox 2.0.0: what is new.\n' > "$release/readme.txt"
printf 'Trelvox licence terms.\n' > "$release/license.txt"
mkdir -p "$release/data" "$release/plugins/net"
head -c 52428800 /dev/urandom > "$release/data/assets.pak"
printf 'proxy plug-in 2.0.0\n' > "$release/plugins/net/proxy.dll"
# Signed with the demo release key, as a vendor's build machine signs with its own.
"$build/service/update-service" publish "$release" --version 2.0.0 \
    --sign "$root/service/demo-keys/release-private.der"

say "installation of 1.0.0: $install"
cp "$build/app/updater" "$install/updater/updater"
stand_in 1.0.0 > "$install/Trelvox.exe"
chmod 755 "$install/Trelvox.exe"
printf 'Trelvox 1.0.0.\n' > "$install/readme.txt"
cp "$release/license.txt" "$install/license.txt" # current: copied after the release was published
mkdir -p "$install/data"
head -c 1048576 /dev/zero > "$install/data/assets.pak"
# version.xml written by the updater's own manifest writer.
"$build/service/update-service" write-manifest "$install/version.xml" \
    Trelvox.exe=1.0.0 data/assets.pak=1.0.0 license.txt=2.0.0 readme.txt=1.0.0
cp "$install/version.xml" "$demo/version-before.xml"
for f in Trelvox.exe readme.txt license.txt data/assets.pak plugins/net/proxy.dll; do
    [ -f "$install/$f" ] && cp "$install/$f" "$demo/before.$(echo "$f" | tr / _)" || true
done

say "update service on loopback"
download_url=""
nginx="$(command -v nginx || echo /usr/sbin/nginx)"
if [ -x "$nginx" ]; then
    # The release files come through nginx held to 10 MB/s, so the 50 MB file takes a few seconds.
    mkdir -p "$demo/nginx"
    for port in $(shuf -i 20000-60000 -n 5); do
        cat > "$demo/nginx/nginx.conf" <<EOF
daemon off;
master_process off;
pid $demo/nginx/nginx.pid;
error_log $demo/nginx/error.log;
events {}
http {
    access_log off;
    client_body_temp_path $demo/nginx; proxy_temp_path $demo/nginx; fastcgi_temp_path $demo/nginx;
    uwsgi_temp_path $demo/nginx; scgi_temp_path $demo/nginx;
    server {
        listen 127.0.0.1:$port;
        location /files/ { alias $release/; limit_rate 10m; }
        location ~ ^/files/release(-signed)?\.json\$ { return 404; }
    }
}
EOF
        "$nginx" -e "$demo/nginx/error.log" -p "$demo/nginx" -c "$demo/nginx/nginx.conf" 2>/dev/null &
        files_pid=$!
        if wait_for 30 curl -fs -o /dev/null "http://127.0.0.1:$port/files/readme.txt"; then
            download_url="http://127.0.0.1:$port/files"
            echo "files throttled to 10 MB/s at $download_url"
            break
        fi
        kill "$files_pid" 2>/dev/null || true
        files_pid=""
    done
fi
"$build/service/update-service" serve --release "$release" --key "$root/service/demo-keys/private.der" \
    --release-key "$root/service/demo-keys/release-public.hex" \
    --listen 127.0.0.1:0 ${download_url:+--download-url "$download_url"} > "$demo/service.out" 2> "$demo/service.log" &
service_pid=$!
wait_for 100 grep -qs '^listening on ' "$demo/service.out" || { cat "$demo/service.log" >&2; exit 1; }
endpoint="http://$(sed -n 's/^listening on //p' "$demo/service.out" | head -n1)/api/upgrade"
echo "update-service answers at $endpoint (its log: $demo/service.log)"
printf '<Config><Update>%s</Update></Config>\n' "$endpoint" > "$install/updater/config.xml"

say "Trelvox.exe 1.0.0 running"
( cd "$install" && exec ./Trelvox.exe ) &
stand_in_pid=$!
wait_for 50 grep -qs ' 1.0.0 ' "$log"
echo "process $stand_in_pid"

screenshot=""
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    say "updater: watch its window on $DISPLAY"
else
    exec 3>"$demo/display"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset >/dev/null 2>&1 &
    xvfb_pid=$!
    exec 3>&-
    wait_for 100 test -s "$demo/display" || { echo "demo: Xvfb did not start" >&2; exit 1; }
    export DISPLAY=":$(head -n1 "$demo/display")"
    screenshot="$demo/window.png"
    say "updater: no display here, so it runs under Xvfb ($DISPLAY); screenshot: $screenshot"
fi

status=0
timeout 300 "$build/launcher/updater-launch" --token demo-token "$install/updater/updater" > "$demo/updater.log" 2>&1 &
launcher_pid=$!
if [ -n "$screenshot" ]; then
    # Taken while the large file is on its way: a temporary file with a good part of it.
    big_part() { find "$install/tmps" -name '*.tmp' -size +20M 2>/dev/null | grep -q .; }
    if wait_for 600 big_part; then
        window="$(xdotool search --onlyvisible --name '^update$' 2>/dev/null | head -n1)" || true
        import -window "${window:-root}" "$screenshot"
    else
        screenshot=""
    fi
fi
wait "$launcher_pid" || status=$?

say "summary"
echo "updater exit status: $status (its output: $demo/updater.log)"
updated=0
echo "files:"
for f in Trelvox.exe data/assets.pak license.txt plugins/net/proxy.dll readme.txt; do
    before="$demo/before.$(echo "$f" | tr / _)"
    if ! cmp -s "$install/$f" "$release/$f"; then
        echo "  $f: NOT updated"
    elif [ -f "$before" ] && cmp -s "$before" "$install/$f"; then
        echo "  $f: already current, not downloaded"
    else
        echo "  $f ($(wc -c < "$install/$f") bytes)"
        updated=$((updated + 1))
    fi
done
echo "version.xml before:"
manifest_entries "$demo/version-before.xml"
echo "version.xml after:"
manifest_entries "$install/version.xml"
ended="yes"
running "$stand_in_pid" && ended="no"
echo "the running Trelvox.exe 1.0.0 was ended: $ended"
started="no"
wait_for 30 grep -qs ' 2.0.0 ' "$log" && started="yes, $(grep ' 2.0.0 ' "$log" | head -n1 | cut -d' ' -f2-)"
echo "main application started again: $started"
[ -n "$screenshot" ] && echo "screenshot of the window mid-download: $screenshot"
echo "temporary files left in tmps: $(find "$install/tmps" -type f | wc -l)"
kill "$service_pid" 2>/dev/null || true
echo "update-service stopped; everything of the demo is in $demo"

[ "$status" -eq 0 ] && [ "$updated" -eq 4 ] && [ "$ended" = "yes" ] && [ "$started" != "no" ]
