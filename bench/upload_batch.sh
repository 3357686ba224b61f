#!/bin/sh
# Batch upload benchmark, run by hand after a build:
#
#   bench/upload_batch.sh BUILD_DIR [COUNT]
#
# Writes COUNT small distinct pictures (default 1000) that the upload rules
# select, then uploads them two ways, each into a fresh stand-in
# (BUILD_DIR/bin/zamtu-server, reached as an HTTP proxy), side by side:
#   curl, 6 pictures at a time   per picture: probe, form upload, registration
#   the upload page              (upload_batch, the real page and its upload run)
# and prints each run's wall time, time per picture, peak memory (GNU time's
# maximum RSS; for curl that of its largest process) and the stand-in's CPU
# time. After each run the stand-in's bucket and registrations are checked
# against the pictures' MD5s.
set -eu

# Byte order for sort, comm and uniq, whatever the locale.
bytesort() {
    LC_ALL=C sort "$@"
}

usage="usage: upload_batch.sh BUILD_DIR [COUNT]"
BUILD_DIR=$(cd "${1:?$usage}" && pwd)
COUNT=${2:-1000}
case $COUNT in
    '' | *[!0-9]* | 0) echo "$usage (COUNT: a number above 0)" >&2; exit 2 ;;
esac
SERVER="$BUILD_DIR/bin/zamtu-server"
DRIVER="$BUILD_DIR/bench/upload_batch/upload_batch"
CACHE="$BUILD_DIR/CMakeCache.txt"
USER_NAME=bench
PASSWORD=bench-password

fail() {
    echo "upload_batch.sh: $*" >&2
    exit 1
}

for tool in curl openssl md5sum xargs awk find sort comm; do
    command -v "$tool" > /dev/null 2>&1 || fail "$tool is missing"
done
[ -x /usr/bin/time ] || fail "/usr/bin/time is missing (Debian package time)"
[ -x "$SERVER" ] || fail "$SERVER is missing: build first (cmake --build $BUILD_DIR)"
[ -x "$DRIVER" ] || fail "$DRIVER is missing: build first (cmake --build $BUILD_DIR --target upload_batch)"
[ -f "$CACHE" ] || fail "$CACHE is missing: configure first"

# The deployment values the tool was built with.
cache_value() {
    value=$(sed -n "s/^$1:[A-Z]*=//p" "$CACHE")
    [ -n "$value" ] || fail "$1 is not set in $CACHE"
    printf '%s' "$value"
}
KEY_ID=$(cache_value ZAMTU_OSS_ACCESS_KEY_ID)
SECRET=$(cache_value ZAMTU_OSS_ACCESS_KEY_SECRET)
API_VERSION=$(cache_value ZAMTU_API_VERSION)
REFERER=$(cache_value ZAMTU_SITE_URL)
IMAGE_HOST=$(cache_value ZAMTU_IMAGE_HOST)
ENDPOINT=$(cache_value ZAMTU_OSS_ENDPOINT)
BUCKET_URL="http://$(cache_value ZAMTU_OSS_BUCKET).${ENDPOINT#http://}"
SITE="http://www.zamtu.test" # the domain upload_batch writes into its config.ini

# The browser-form policy the tool sends, and its signature.
POLICY_JSON='{"expiration": "2120-01-01T12:00:00.000Z","conditions": [["content-length-range", 0, 104857600]]}'
POLICY=$(printf '%s' "$POLICY_JSON" | openssl base64 -A)
SIGNATURE=$(printf '%s' "$POLICY" | openssl dgst -sha1 -hmac "$SECRET" -binary | openssl base64 -A)
[ -n "$POLICY" ] && [ -n "$SIGNATURE" ] || fail "openssl could not sign the policy"

WORK=$(mktemp -d)
SERVER_PID=
cleanup() {
    if [ -n "$SERVER_PID" ]; then
        kill "$SERVER_PID" 2>/dev/null || true
        wait "$SERVER_PID" 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A fresh stand-in with one account; sets PORT and SERVER_PID.
start_server() {
    data=$1
    "$SERVER" --data "$data" add-account "$USER_NAME" "$PASSWORD" > /dev/null
    "$SERVER" --data "$data" --port 0 --port-file "$data.port" --empty serve > "$data.log" 2>&1 &
    SERVER_PID=$!
    tries=0
    while [ ! -s "$data.port" ]; do
        kill -0 "$SERVER_PID" 2>/dev/null || fail "zamtu-server did not start: $(cat "$data.log")"
        tries=$((tries + 1))
        [ "$tries" -le 300 ] || fail "zamtu-server wrote no port within 30 s"
        sleep 0.1
    done
    PORT=$(cat "$data.port")
}

# The stand-in's CPU time so far (user + system), in seconds.
server_cpu() {
    awk -v tck="$(getconf CLK_TCK)" '{ sub(/^.*\) /, ""); printf "%.2f", ($12 + $13) / tck }' "/proc/$SERVER_PID/stat"
}

stop_server() {
    kill "$SERVER_PID"
    wait "$SERVER_PID" 2>/dev/null || true
    SERVER_PID=
}

now() {
    date +%s.%N
}

# Checks the bucket and the registrations of the stand-in in $1 against the
# pictures; prints one line each, and returns 1 when something is missing.
check_server() {
    data=$1
    label=$2
    ok=0
    "$SERVER" --data "$data" list-objects | bytesort > "$data.objects"
    LC_ALL=C comm -23 "$WORK/expected.md5" "$data.objects" > "$data.missing"
    missing=$(wc -l < "$data.missing")
    if [ "$missing" -eq 0 ]; then
        echo "  $label: bucket holds all $COUNT pictures"
    else
        echo "  $label: bucket MISSES $missing of $COUNT pictures, e.g. $(head -n 3 "$data.missing" | tr '\n' ' ')"
        ok=1
    fi
    "$SERVER" --data "$data" list-registrations | cut -f 2,3 | bytesort > "$data.registrations"
    total=$(wc -l < "$data.registrations")
    twice=$(cut -f 1 "$data.registrations" | LC_ALL=C uniq -d | wc -l)
    unregistered=$(bytesort -u "$data.registrations" | LC_ALL=C comm -23 "$WORK/expected.pairs" - | wc -l)
    if [ "$total" -eq "$COUNT" ] && [ "$twice" -eq 0 ] && [ "$unregistered" -eq 0 ]; then
        echo "  $label: each picture registered once, under its file name"
    else
        echo "  $label: registrations WRONG: $total registrations, $twice pictures more than once," \
            "$unregistered pictures not registered under their name"
        ok=1
    fi
    return $ok
}

# One picture the way the tool takes it, with curl: MD5, probe, form upload,
# registration. Prints one line: the outcome and the MD5.
cat > "$WORK/upload_one.sh" <<'EOF'
path=$1
name=${path##*/}
md5=$(md5sum < "$path")
md5=${md5%% *}
code=$(curl -s -g -o /dev/null -w '%{http_code}' -x "$PROXY" -e "$REFERER" \
    "$IMAGE_HOST/$md5?x-oss-process=image/resize,m_lfit,h_1,w_1") || code=000
case $code in
    200) echo "exists $md5"; exit 0 ;;
    404) ;;
    *) echo "probe-failed $md5 HTTP $code"; exit 0 ;;
esac
code=$(curl -s -o /dev/null -w '%{http_code}' -x "$PROXY" -H 'Expect:' \
    --form-string "key=$md5" \
    --form-string "Content-Disposition=attachment;filename=$path" \
    --form-string "OSSAccessKeyId=$KEY_ID" \
    --form-string "policy=$POLICY" \
    --form-string "Signature=$SIGNATURE" \
    -F "file=@$path" \
    "$BUCKET_URL/") || code=000
case $code in
    2??) ;;
    *) echo "upload-failed $md5 HTTP $code"; exit 0 ;;
esac
reply=$(curl -s -x "$PROXY" -H 'Content-Type: application/x-www-form-urlencoded' \
    -H "Api-Version: $API_VERSION" -H "Api-Token: $TOKEN" \
    --data-binary "md5=$md5&name=$name" "$SITE/index.php?m=api&f=oss") || reply=
case $reply in
    code=0000 | code=0000\&*) echo "uploaded $md5" ;;
    *) echo "register-failed $md5 $reply" ;;
esac
EOF

FAILED=0

run_curl() {
    data="$WORK/curl-data"
    start_server "$data"
    export PROXY="http://127.0.0.1:$PORT" REFERER IMAGE_HOST BUCKET_URL SITE KEY_ID POLICY SIGNATURE API_VERSION
    password_md5=$(printf '%s' "$PASSWORD" | md5sum | cut -d ' ' -f 1)
    sync # each run starts without the previous writes still going to disk
    start=$(now)
    reply=$(curl -s -x "$PROXY" -H 'Content-Type: application/x-www-form-urlencoded' -H "Api-Version: $API_VERSION" \
        --data-binary "username=$USER_NAME&password=$password_md5" "$SITE/index.php?m=api&f=login")
    TOKEN=$(printf '%s' "$reply" | tr '&' '\n' | sed -n 's/^token=//p')
    [ -n "$TOKEN" ] || fail "curl login failed: $reply"
    export TOKEN
    find "$PICTURES" -type f -name '*.png' -print0 \
        | /usr/bin/time -f '%M' -o "$WORK/curl.rss" xargs -0 -P 6 -n 1 sh "$WORK/upload_one.sh" > "$WORK/curl.out"
    end=$(now)
    CURL_CPU=$(server_cpu)
    stop_server
    CURL_S=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }')
    CURL_RSS=$(cat "$WORK/curl.rss")
    uploaded=$(grep -c '^uploaded ' "$WORK/curl.out" || true)
    outcomes=$(cut -d ' ' -f 1 "$WORK/curl.out" | bytesort | uniq -c | awk '{ printf "%s %s ", $2, $1 }')
    printf '%-28s time %7.2f s  per picture %6.2f ms  peak RSS %7d KiB  stand-in CPU %6.2f s  (%s)\n' \
        "curl, 6 pictures at a time" "$CURL_S" "$(awk -v s="$CURL_S" -v n="$COUNT" 'BEGIN { print s * 1000 / n }')" \
        "$CURL_RSS" "$CURL_CPU" "${outcomes% }"
    if [ "$uploaded" -ne "$COUNT" ]; then
        echo "  curl: only $uploaded of $COUNT uploads answered 2xx and registered code=0000, e.g.:"
        grep -v '^uploaded ' "$WORK/curl.out" | head -n 5 | sed 's/^/    /'
        FAILED=1
    else
        echo "  curl: every upload answered 2xx and every registration code=0000"
    fi
    check_server "$data" curl || FAILED=1
}

run_page() {
    data="$WORK/page-data"
    start_server "$data"
    sync
    start=$(now)
    rc=0
    http_proxy="http://127.0.0.1:$PORT" no_proxy= NO_PROXY= QT_QPA_PLATFORM=offscreen \
        /usr/bin/time -f '%M' -o "$WORK/page.rss" \
        "$DRIVER" "$PICTURES" "$WORK/page-db" "$USER_NAME" "$PASSWORD" "$COUNT" \
        > "$WORK/page.out" 2> "$WORK/page.err" || rc=$?
    end=$(now)
    PAGE_CPU=$(server_cpu)
    stop_server
    PAGE_S=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }')
    PAGE_RSS=$(tail -n 1 "$WORK/page.rss")
    line=$(head -n 1 "$WORK/page.out")
    PAGE_RUN_MS=$(printf '%s\n' "$line" | sed -n 's/.* time_ms \([0-9]*\).*/\1/p')
    PAGE_IDLE=$(printf '%s\n' "$line" | sed -n 's/.* idle_rss_kib \([0-9]*\).*/\1/p')
    printf '%-28s time %7.2f s  per picture %6.2f ms  peak RSS %7d KiB  stand-in CPU %6.2f s  (%s)\n' \
        "upload page" "$PAGE_S" "$(awk -v s="$PAGE_S" -v n="$COUNT" 'BEGIN { print s * 1000 / n }')" \
        "$PAGE_RSS" "$PAGE_CPU" "$line"
    tail -n +2 "$WORK/page.out" | sed 's/^/  /'
    if [ "$rc" -eq 0 ]; then
        echo "  upload page: every picture ended 上传成功"
    else
        echo "  upload page: exit code $rc, NOT every picture ended 上传成功; last of its debug output:"
        tail -n 5 "$WORK/page.err" | sed 's/^/    /'
        FAILED=1
    fi
    check_server "$data" "upload page" || FAILED=1
}

# The pictures, and what the stand-in must hold afterwards.
PICTURES="$WORK/pictures"
"$DRIVER" pictures "$PICTURES" "$COUNT"
find "$PICTURES" -type f -name '*.png' -print0 | xargs -0 md5sum \
    | awk '{ md5 = substr($0, 1, 32); name = $0; sub(/.*\//, "", name); print md5 "\t" name }' \
    | bytesort > "$WORK/expected.pairs"
cut -f 1 "$WORK/expected.pairs" | bytesort -u > "$WORK/expected.md5"
[ "$(wc -l < "$WORK/expected.md5")" -eq "$COUNT" ] || fail "the $COUNT pictures are not all distinct"
bytes=$(find "$PICTURES" -type f -name '*.png' -print0 | xargs -0 cat | wc -c)

echo "$COUNT pictures of 1500x600 (PNG, $((bytes / COUNT)) bytes each), a fresh stand-in for each run"
run_curl
run_page

echo "summary ($COUNT pictures):"
printf '  %-12s wall %7.2f s  %6.2f ms/picture  peak RSS %7d KiB (largest process)\n' curl "$CURL_S" \
    "$(awk -v s="$CURL_S" -v n="$COUNT" 'BEGIN { print s * 1000 / n }')" "$CURL_RSS"
printf '  %-12s wall %7.2f s  %6.2f ms/picture  peak RSS %7d KiB (run alone %s ms, idle RSS %s KiB)\n' "upload page" \
    "$PAGE_S" "$(awk -v s="$PAGE_S" -v n="$COUNT" 'BEGIN { print s * 1000 / n }')" "$PAGE_RSS" \
    "${PAGE_RUN_MS:-?}" "${PAGE_IDLE:-?}"
awk -v c="$CURL_S" -v p="$PAGE_S" -v cr="$CURL_RSS" -v pr="$PAGE_RSS" -v cc="$CURL_CPU" -v pc="$PAGE_CPU" 'BEGIN {
    printf "  ratio tool/curl: wall time %.2f, peak RSS %.2f, stand-in CPU %.2f\n", p / c, pr / cr, (cc > 0 ? pc / cc : 0)
}'
[ "$FAILED" -eq 0 ] || { echo "SOME CHECKS FAILED"; exit 1; }
