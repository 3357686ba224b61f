#!/bin/sh
# Batch download benchmark, run by hand after a build:
#
#   bench/download_batch.sh BUILD_DIR [COUNT] [SIZE_BYTES]
#
# Starts the stand-in site and picture host, then fetches the same COUNT
# pictures (default 500 of 2 MiB) three ways, side by side:
#   curl, 6 at a time     (as many connections as the program opens per host)
#   curl, 50 at a time    (curl's own default)
#   the download page     (download_batch)
# and prints each run's wall time and peak memory (GNU time's maximum RSS).
set -eu

BUILD_DIR=$(cd "${1:?usage: download_batch.sh BUILD_DIR [COUNT] [SIZE_BYTES]}" && pwd)
COUNT=${2:-500}
SIZE=${3:-2097152}
BIN="$BUILD_DIR/bench/download_batch"
WORK=$(mktemp -d)
SERVER_PID=

cleanup() {
    [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

"$BIN/download_batch_server" "$COUNT" "$SIZE" > "$WORK/server.out" &
SERVER_PID=$!
while ! grep -q '^PORT ' "$WORK/server.out" 2>/dev/null; do sleep 0.1; done
PORT=$(sed -n 's/^PORT //p' "$WORK/server.out")
SITE="http://127.0.0.1:$PORT"

# The number's picture keys and the paths the page gives them.
curl -s "$SITE/index.php?m=api&f=download&no=B1" | tr '&' '\n' > "$WORK/number.txt"
i=0
: > "$WORK/curl.cfg"
while [ "$i" -lt "$COUNT" ]; do
    category=$(sed -n "s/^category$i=//p" "$WORK/number.txt")
    name=$(sed -n "s/^name$i=//p" "$WORK/number.txt")
    key=$(sed -n "s/^md5$i=//p" "$WORK/number.txt")
    printf 'url = "http://img.zamtu.test/%s"\noutput = "%s/%s.jpg"\n' "$key" "$category" "$name" >> "$WORK/curl.cfg"
    i=$((i + 1))
done

run_curl() {
    parallel=$1
    out="$WORK/curl$parallel"
    mkdir -p "$out"
    sync # each run starts without the previous run's writes still going to disk
    start=$(date +%s.%N)
    (cd "$out" && /usr/bin/time -f "%M" -o "$WORK/curl$parallel.rss" \
        curl -s --no-progress-meter -f --create-dirs --parallel --parallel-max "$parallel" \
            -x "$SITE" -e "http://www.zamtu.test/index.php" -K "$WORK/curl.cfg")
    end=$(date +%s.%N)
    files=$(find "$out" -name '*.jpg' -size "${SIZE}c" | wc -l)
    printf '%-22s time %6.2f s  peak RSS %7d KiB  files %d\n' "curl --parallel-max $parallel" \
        "$(echo "$end - $start" | bc)" "$(cat "$WORK/curl$parallel.rss")" "$files"
    [ "$parallel" = 6 ] || rm -rf "$out"
}

run_page() {
    out="$WORK/page"
    mkdir -p "$out"
    sync
    start=$(date +%s.%N)
    http_proxy="$SITE" QT_QPA_PLATFORM=offscreen /usr/bin/time -f "%M" -o "$WORK/page.rss" \
        "$BIN/download_batch" "$SITE" "$out" B1 "$COUNT" > "$WORK/page.out" 2>/dev/null
    end=$(date +%s.%N)
    files=$(find "$out" -name '*.jpg' -size "${SIZE}c" | wc -l)
    printf '%-22s time %6.2f s  peak RSS %7d KiB  files %d  (%s)\n' "download page" \
        "$(echo "$end - $start" | bc)" "$(cat "$WORK/page.rss")" "$files" "$(cat "$WORK/page.out")"
    rm -f "$out/B1.xls"
    if diff -r -q "$WORK/curl6" "$out" > /dev/null; then
        echo "download page files are identical to curl's"
    else
        echo "download page files DIFFER from curl's"
    fi
    rm -rf "$out" "$WORK/curl6"
}

echo "$COUNT pictures of $SIZE bytes"
run_curl 6
run_curl 50
run_page
