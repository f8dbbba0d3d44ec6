#!/usr/bin/env bash
# Receive latency (far-end write to CommRecv) and CPU of an idle open port and
# of a waiting counted read, on a pty line under Wine (see recv_bench.cpp).
#   bench/run-recv-bench.sh [BUILD_DIR] [MESSAGES]
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${1:-$ROOT/build-x64}"
MESSAGES="${2:-1000}"
set -- --build "$BUILD_DIR"
# shellcheck source=../tests/integration/lib.sh
. "$ROOT/tests/integration/lib.sh"
OCX="$BUILD_DIR/qlrcom32.ocx"
[ -f "$OCX" ] && [ -f "$BUILD_DIR/bench/recv_bench.exe" ] || { echo "build first: cmake --build $BUILD_DIR"; exit 1; }
mkdir -p "$WORK"
trap cleanup EXIT
start_bridge L || exit 1
setup_prefix "COM5=$L_PORT" || exit 1
fifo="$WORK/host.fifo"
mkfifo "$fifo"
QLR_WINE_TIMEOUT=600 wine_run "$(winpath "$BUILD_DIR/bench/recv_bench.exe")" "$(winpath "$OCX")" 5 "$MESSAGES" >"$fifo" &
host=$!
CLEANUP_PIDS+=("$host")
# The far end: one line per READY, holding the time just before the write
# ($EPOCHREALTIME is a bash builtin: no fork between the stamp and write(2)).
exec 4>"$L_PEER"
while IFS= read -r -t 120 line; do
  case "$line" in
    READY*) printf '%s\n' "$EPOCHREALTIME" >&4 ;;
    DONE*) echo "$line (now 15 s of idle and waiting CPU)" ;;
    *) echo "$line" ;;
  esac
done <"$fifo"
exec 4>&-
wait "$host"
