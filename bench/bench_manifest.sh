#!/bin/sh
# Writes and reads a 100,000-entry version.xml and compares with xmllint on the same file, same run:
# our read against xmllint's parse, our write against xmllint's parse and re-serialisation.
set -eu
build="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
file="$work/version.xml"

ours="$("$build/bench/bench_manifest" "$file")"
value() { echo "$ours" | awk -v k="$1" '$1 == k { print $2 }'; }

# Best of three, in milliseconds.
best_ms() {
    best=""
    for _ in 1 2 3; do
        start=$(date +%s%N)
        "$@"
        end=$(date +%s%N)
        t=$(( (end - start) / 1000 ))
        if [ -z "$best" ] || [ "$t" -lt "$best" ]; then best=$t; fi
    done
    awk -v us="$best" 'BEGIN { printf "%.1f", us / 1000 }'
}
lint_parse=$(best_ms xmllint --noout "$file")
lint_rewrite=$(best_ms xmllint --output "$work/rewritten.xml" "$file")

write=$(value write_ms)
read=$(value read_ms)
echo "manifest of $(value entries) entries, $(wc -c < "$file") bytes"
echo "our write:  ${write} ms    xmllint parse+write: ${lint_rewrite} ms"
echo "our read:   ${read} ms    xmllint parse:       ${lint_parse} ms"
awk -v w="$write" -v r="$read" -v p="$lint_parse" -v x="$lint_rewrite" 'BEGIN {
    printf "ratio read / xmllint parse:          %.2f\n", r / p
    printf "ratio write / xmllint parse+write:   %.2f\n", w / x
}'
