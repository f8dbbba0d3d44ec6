#!/usr/bin/env bash
# Network-port figures under Wine, each beside the same measurement on the
# direct pty in the same run (ser2net serves a second pty line as
# rfc2217://127.0.0.1:PORT; see tests/integration/lib.sh net_front):
# 1. XModem 1K send of 1 MiB by the control to lrzsz's rx -c, through ser2net
#    and direct: throughput ratio network / direct (rx's run time each).
# 2. Far-end write to CommRecv latency, p50 and p99 (recv_bench.cpp), through
#    ser2net and direct.
# 3. CPU of the host with the port open and idle for 10 s (recv_bench.cpp).
#   bench/run-network-bench.sh [BUILD_DIR] [MESSAGES]
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="$(realpath -m "${1:-$ROOT/build-x64}")"
grep -qs "^CMAKE_BUILD_TYPE:STRING=Release$" "$BUILD_DIR/CMakeCache.txt" \
  || echo "note: $BUILD_DIR is not a Release build; figures of the shipped module come from one"
MESSAGES="${2:-300}"
set -- --build "$BUILD_DIR"
unset QLR_NET_PEER
# shellcheck source=../tests/integration/lib.sh
. "$ROOT/tests/integration/lib.sh"
OCX="$BUILD_DIR/qlrcom32.ocx"
for exe in xmodem_bench recv_bench; do
  [ -f "$BUILD_DIR/bench/$exe.exe" ] || { echo "build first: cmake --build $BUILD_DIR"; exit 1; }
done
command -v sx >/dev/null && command -v rx >/dev/null || { echo "lrzsz (sx, rx) is needed"; exit 1; }
command -v ser2net >/dev/null || { echo "ser2net is needed"; exit 1; }
mkdir -p "$WORK"
trap cleanup EXIT
start_bridge L || exit 1
start_bridge R || exit 1
setup_prefix "COM5=$L_PORT" "COM6=$R_PORT" || exit 1
QLR_NET_PEER=ser2net net_front "$R_PORT" || exit 1
NET_NAME="$QLR_PORT_NAME"
unset QLR_PORT_NAME
DIR="$WORK/files"
mkdir -p "$DIR"
head -c 1048576 /dev/urandom >"$DIR/mib.bin"

# rx on a pty, its standard input through a pipe (tests/integration/xmodem_lib.sh).
lrz() {  # lrz TTY PROGRAM ARGS...: runs in $DIR, sets LRZ_PID and FEED_PID
  local tty="$1"; shift
  local in="$WORK/in.$RANDOM"
  mkfifo "$in"
  cat "$tty" >"$in" &
  FEED_PID=$!
  (cd "$DIR" && exec timeout 300 "$@" <"$in" >"$tty" 2>>"$WORK/lrzsz.log") &
  LRZ_PID=$!
  CLEANUP_PIDS+=("$FEED_PID" "$LRZ_PID")
}
lrz_end() { wait "$LRZ_PID"; local st=$?; kill "$FEED_PID" 2>/dev/null; wait "$FEED_PID" 2>/dev/null; return $st; }

# send LABEL PORT PEER [NAME]: the control sends mib.bin to rx -c on PEER;
# prints and sets SECONDS_TAKEN (rx's run time).
send() {
  local label="$1" port="$2" peer="$3" name="${4:-}" fifo="$WORK/x-$1.fifo" line host T0 T1
  rm -f "$fifo" "$DIR/out.bin"; mkfifo "$fifo"
  for tty in "$L_PEER" "$R_PEER"; do stty -F "$tty" raw -echo -ixon -ixoff 2>/dev/null; done
  QLR_NET_COM=6 QLR_PORT_NAME="$name" QLR_WINE_TIMEOUT=600 wine_run "$(winpath "$BUILD_DIR/bench/xmodem_bench.exe")" \
    "$(winpath "$OCX")" "$port" send "$(winpath "$DIR/mib.bin")" >"$fifo" &
  host=$!
  CLEANUP_PIDS+=("$host")
  while IFS= read -r -t 600 line; do
    line="${line%$'\r'}"
    case "$line" in "READY start") T0=$EPOCHREALTIME; lrz "$peer" rx -X -c -q out.bin ;; esac
  done <"$fifo"
  wait "$host"
  lrz_end; T1=$EPOCHREALTIME
  SECONDS_TAKEN=$(awk -v a="$T0" -v b="$T1" 'BEGIN { print b - a }')
  cmp -s "$DIR/out.bin" "$DIR/mib.bin" && same=identical || same=DIFFERENT
  echo "  $label: $(printf %.2f "$SECONDS_TAKEN") s, $(awk -v s="$SECONDS_TAKEN" 'BEGIN { printf "%.0f", 1048576 / s / 1000 }') KB/s (file $same)"
}

echo "XModem 1K, 1 MiB from the control to rx -c, ${QLR_BENCH_ROUNDS:-3} rounds:"
ratios=()
for round in $(seq 1 "${QLR_BENCH_ROUNDS:-3}"); do
  send direct 5 "$L_PEER"; direct=$SECONDS_TAKEN
  send ser2net 6 "$R_PEER" "$NET_NAME"; net=$SECONDS_TAKEN
  ratios+=("$(awk -v a="$direct" -v b="$net" 'BEGIN { printf "%.2f", a / b }')")
  echo "  ratio (through ser2net / direct throughput): ${ratios[-1]}"
done
echo "  median ratio: $(printf '%s\n' "${ratios[@]}" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')"

# latency LABEL PORT PEER [NAME]: recv_bench; its output kept in $WORK/LABEL.out.
latency() {
  local label="$1" port="$2" peer="$3" name="${4:-}" fifo="$WORK/r-$1.fifo" line host
  rm -f "$fifo"; mkfifo "$fifo"
  QLR_NET_COM=6 QLR_PORT_NAME="$name" QLR_WINE_TIMEOUT=600 wine_run "$(winpath "$BUILD_DIR/bench/recv_bench.exe")" \
    "$(winpath "$OCX")" "$port" "$MESSAGES" >"$fifo" &
  host=$!
  CLEANUP_PIDS+=("$host")
  exec 4>"$peer"
  while IFS= read -r -t 120 line; do
    line="${line%$'\r'}"
    case "$line" in
      READY*) printf '%s\n' "$EPOCHREALTIME" >&4 ;;
      DONE*) ;;
      *) echo "[$label] $line" | tee -a "$WORK/$label.out" ;;
    esac
  done <"$fifo"
  exec 4>&-
  wait "$host"
}
echo
latency direct 5 "$L_PEER"
latency ser2net 6 "$R_PEER" "$NET_NAME"
figure() { sed -n "s/.*$2 \([0-9.]*\) $3.*/\1/p" "$WORK/$1.out" | head -1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
for what in p50 p99; do
  direct="$(figure direct "$what" us)"; net="$(figure ser2net "$what" us)"
  echo "receive latency $what: through ser2net ${net} us, direct pty ${direct} us, ratio $(ratio "$net" "$direct")"
done
idle() { sed -n 's/.*open idle port.*(\([0-9.]*\) % of a core).*/\1/p' "$WORK/$1.out"; }
echo "idle open port CPU: rfc2217 $(idle ser2net) %, direct pty (polling) $(idle direct) % of a core"
