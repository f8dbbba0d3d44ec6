#!/usr/bin/env bash
# Receive latency (far-end write to CommRecv) and CPU of an idle open port and
# of a waiting counted read under Wine (see recv_bench.cpp), on a plain pty and
# on the null-modem cable, with the cable's figures as ratios to the pty's.
#   bench/run-recv-bench.sh [BUILD_DIR] [MESSAGES]
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Absolute: the port mappings and Wine paths are made from it.
BUILD_DIR="$(realpath -m "${1:-$ROOT/build-x64}")"
grep -qs "^CMAKE_BUILD_TYPE:STRING=Release$" "$BUILD_DIR/CMakeCache.txt" \
  || echo "note: $BUILD_DIR is not a Release build; figures of the shipped module come from one"
MESSAGES="${2:-1000}"
set -- --build "$BUILD_DIR"
# shellcheck source=../tests/integration/lib.sh
. "$ROOT/tests/integration/lib.sh"
OCX="$BUILD_DIR/qlrcom32.ocx"
[ -f "$OCX" ] && [ -f "$BUILD_DIR/bench/recv_bench.exe" ] || { echo "build first: cmake --build $BUILD_DIR"; exit 1; }
mkdir -p "$WORK"
trap cleanup EXIT
# Two lines in one run: a plain pty (Wine cannot wait for its events, the
# watch thread looks every 10 ms: the baseline) and the null-modem cable (the
# shim gives it modem lines, so Wine's event waits work).
start_bridge L || exit 1
start_nullmodem N || exit 1
setup_prefix "COM5=$L_PORT" "COM6=$N_PORT" || exit 1

# run_line LABEL PORT_NUMBER PEER RUNNER: one benchmark run; its output is
# kept in $WORK/LABEL.out.
run_line() {
  local label="$1" number="$2" peer="$3" runner="$4" fifo="$WORK/$1.fifo" line host
  mkfifo "$fifo"
  QLR_WINE_TIMEOUT=600 "$runner" "$(winpath "$BUILD_DIR/bench/recv_bench.exe")" "$(winpath "$OCX")" \
    "$number" "$MESSAGES" >"$fifo" &
  host=$!
  CLEANUP_PIDS+=("$host")
  # The far end: one line per READY, holding the time just before the write
  # ($EPOCHREALTIME is a bash builtin: no fork between the stamp and write(2)).
  exec 4>"$peer"
  while IFS= read -r -t 120 line; do
    case "$line" in
      READY*) printf '%s\n' "$EPOCHREALTIME" >&4 ;;
      DONE*) echo "[$label] $line (now 15 s of idle and waiting CPU)" ;;
      *) echo "[$label] $line" | tee -a "$WORK/$label.out" ;;
    esac
  done <"$fifo"
  exec 4>&-
  wait "$host"
}
run_line pty 5 "$L_PEER" wine_run
run_line nullmodem 6 "$N_PEER" nm_wine

# Figures of the cable against the pty of the same run.
figure() { sed -n "s/.*$2 \([0-9.]*\) $3.*/\1/p" "$WORK/$1.out" | head -1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
for what in p50 p99; do
  pty="$(figure pty "$what" us)"; cable="$(figure nullmodem "$what" us)"
  echo "receive latency $what: null-modem ${cable} us, pty ${pty} us, ratio $(ratio "$cable" "$pty")"
done
pty="$(sed -n 's/.*open idle port.*(\([0-9.]*\) % of a core).*/\1/p' "$WORK/pty.out")"
cable="$(sed -n 's/.*open idle port.*(\([0-9.]*\) % of a core).*/\1/p' "$WORK/nullmodem.out")"
echo "idle open port CPU: null-modem (event mode) ${cable} %, pty (polling) ${pty} % of a core, ratio $(ratio "$cable" "$pty")"
