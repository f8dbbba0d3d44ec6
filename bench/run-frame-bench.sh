#!/usr/bin/env bash
# Framing latency under Wine (see frame_bench.cpp): last byte written by the
# far end to CommFrame, delimiter mode against CommRecv of the same line, and
# idle-gap delivery against the gap; on a plain pty (the watch thread looks at
# the port every millisecond while framing) and on the null-modem cable (event
# waits, as on Windows).
#   bench/run-frame-bench.sh [BUILD_DIR] [MESSAGES]
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="$(realpath -m "${1:-$ROOT/build-x64}")"
grep -qs "^CMAKE_BUILD_TYPE:STRING=Release$" "$BUILD_DIR/CMakeCache.txt" \
  || echo "note: $BUILD_DIR is not a Release build; figures of the shipped module come from one"
MESSAGES="${2:-500}"
set -- --build "$BUILD_DIR"
# shellcheck source=../tests/integration/lib.sh
. "$ROOT/tests/integration/lib.sh"
OCX="$BUILD_DIR/qlrcom32.ocx"
[ -f "$OCX" ] && [ -f "$BUILD_DIR/bench/frame_bench.exe" ] || { echo "build first: cmake --build $BUILD_DIR"; exit 1; }
mkdir -p "$WORK"
trap cleanup EXIT
start_bridge L || exit 1
start_nullmodem N || exit 1
setup_prefix "COM5=$L_PORT" "COM6=$N_PORT" || exit 1

run_line() {  # run_line LABEL PORT_NUMBER PEER RUNNER
  local label="$1" number="$2" peer="$3" runner="$4" fifo="$WORK/$1.fifo" line host
  mkfifo "$fifo"
  QLR_WINE_TIMEOUT=900 "$runner" "$(winpath "$BUILD_DIR/bench/frame_bench.exe")" "$(winpath "$OCX")" \
    "$number" "$MESSAGES" >"$fifo" &
  host=$!
  CLEANUP_PIDS+=("$host")
  exec 4>"$peer"
  while IFS= read -r -t 120 line; do
    line="${line%$'\r'}"
    case "$line" in
      "READY recv "* | "READY delimiter "*) printf '%s\n' "$EPOCHREALTIME" >&4 ;;
      "READY idle"*) printf '%s' "$EPOCHREALTIME" >&4 ;;
      DONE*) ;;
      *) echo "[$label] $line" ;;
    esac
  done <"$fifo"
  exec 4>&-
  wait "$host"
}
run_line pty 5 "$L_PEER" wine_run
run_line nullmodem 6 "$N_PEER" nm_wine
