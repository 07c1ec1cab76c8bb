set -eu
build="$1"; prefetch="${2:-}"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
. "$here/wholerun.sh"
trap wr_cleanup EXIT
start_xvfb
mkdir -p "$work/www/many"
head -c $((2000 * 4096)) /dev/urandom | split -b 4096 -d -a 4 - "$work/www/many/f"
start_nginx "$work/www" 127.0.0.1
start_service "$work/www/many" 127.0.0.1 "http://127.0.0.1:$nginx_port/files/many"
make_install "$work/install" $prefetch
curl_config "$work/www/many" "http://127.0.0.1:$nginx_port/files/many" "$work/curl-out" > "$work/many.cfg"
reset_install "$work/install"; timeout 100 "$build/launcher/updater-launch" --token bench strace -f -tt -e trace=openat,mkdir,rename,unlink,newfstatat,statfs,fsync,utimensat,statx,access,close,read,write,ioctl -o /tmp/rp/strace2.txt "$work/install/updater/updater" > /dev/null 2>&1; reset_install "$work/install"; timeout 100 "$build/launcher/updater-launch" --token bench true "$work/install/updater/updater" > /dev/null 2>&1
for i in 1; do
  reset_install "$work/install"; run_ours "$work/install"; ours_complete "$work/install" 2000 $((2000 * 4096)) || true; o=$took
  run_curl "$work/many.cfg" "$work/curl-out" ""; echo "ours $o curl $took peak $peak_kib"
done
