#!/usr/bin/env bash
# SendString throughput and allocations per send, on a pty line under Wine.
#   bench/run-send-bench.sh [BUILD_DIR] [SENDS]
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Absolute: the port mappings and Wine paths are made from it.
BUILD_DIR="$(realpath -m "${1:-$ROOT/build-x64}")"
grep -qs "^CMAKE_BUILD_TYPE:STRING=Release$" "$BUILD_DIR/CMakeCache.txt" \
  || echo "note: $BUILD_DIR is not a Release build; figures of the shipped module come from one"
SENDS="${2:-2000}"
set -- --build "$BUILD_DIR"
# shellcheck source=../tests/integration/lib.sh
. "$ROOT/tests/integration/lib.sh"
OCX="$BUILD_DIR/qlrcom32.ocx"
[ -f "$OCX" ] && [ -f "$BUILD_DIR/bench/send_bench.exe" ] || { echo "build first: cmake --build $BUILD_DIR"; exit 1; }
mkdir -p "$WORK"
trap cleanup EXIT
start_bridge L || exit 1
setup_prefix "COM5=$L_PORT" || exit 1
# The far end drains the line, so that writes never wait for a reader.
cat "$L_PEER" >/dev/null &
CLEANUP_PIDS+=("$!")
QLR_WINE_TIMEOUT=300 wine_run "$(winpath "$BUILD_DIR/bench/send_bench.exe")" "$(winpath "$OCX")" 5 "$SENDS"
