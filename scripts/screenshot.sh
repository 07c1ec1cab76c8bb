#!/bin/sh
# Renders the update window under a private Xvfb into docs/window.png for the README.
# An empty token holds the updater at its (textless) box, with the window in its initial state;
# the screen is large enough for the box to stand clear of the window.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
work="$(mktemp -d)"
xvfb_pid=""
launcher_pid=""
cleanup() {
    [ -n "$launcher_pid" ] && kill "$launcher_pid" 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

mkdir -p "$work/install/updater"
cp "$build/app/updater" "$work/install/updater/updater"

exec 3>"$work/display"
Xvfb -displayfd 3 -noreset -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"

"$build/launcher/updater-launch" --raw-hex 00000000 "$work/install/updater/updater" >/dev/null 2>&1 &
launcher_pid=$!

window=""
for _ in $(seq 100); do
    window="$(xdotool search --onlyvisible --name '^update$' 2>/dev/null | head -n1)" && [ -n "$window" ] && break
    sleep 0.1
done
[ -n "$window" ] || { echo "screenshot: the window did not appear" >&2; exit 1; }
sleep 0.5
mkdir -p "$root/docs"
import -window "$window" "$root/docs/window.png"
echo "screenshot: wrote $root/docs/window.png"
