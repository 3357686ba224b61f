#!/usr/bin/env bash
# Builds everything, starts the local stand-in for the site, its bucket and its
# picture host (with demo data), and runs the tool against it. The stand-in
# stops when the tool exits.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

DATA_DIR="${DEMO_DATA_DIR:-$BUILD_DIR/demo-data}"
PORT_FILE="$BUILD_DIR/demo-server.port"
SERVER_LOG="$BUILD_DIR/demo-server.log"
rm -f "$PORT_FILE"

"$BUILD_DIR/bin/zamtu-server" --data "$DATA_DIR" --port 0 --port-file "$PORT_FILE" >"$SERVER_LOG" 2>&1 &
SERVER_PID=$!
stop_server() {
    kill "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
}
trap stop_server EXIT

for _ in $(seq 100); do
    [[ -s "$PORT_FILE" ]] && break
    kill -0 "$SERVER_PID" 2>/dev/null || { cat "$SERVER_LOG" >&2; exit 1; }
    sleep 0.1
done
[[ -s "$PORT_FILE" ]] || { echo "The stand-in did not start; see $SERVER_LOG" >&2; exit 1; }
PORT="$(cat "$PORT_FILE")"

# The tool reads its site from config.ini beside itself and reaches the
# compiled-in .test hosts through the stand-in as its HTTP proxy.
printf '[Server]\ndomain=http://www.zamtu.test\n' >"$BUILD_DIR/bin/config.ini"

echo
echo "Local stand-in on 127.0.0.1:$PORT (data: $DATA_DIR, log: $SERVER_LOG)"
grep -E '^(demo|sample)' "$SERVER_LOG" | sed 's/^/  /'
echo "  registrations: $BUILD_DIR/bin/zamtu-server --data \"$DATA_DIR\" list-registrations"
echo

status=0
http_proxy="http://127.0.0.1:$PORT" no_proxy="localhost,127.0.0.1" "$BUILD_DIR/bin/zamtu-batch" || status=$?
exit "$status"
