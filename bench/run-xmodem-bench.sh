#!/usr/bin/env bash
# XModem figures on one pty pair under Wine, lrzsz on the far end (see
# xmodem_bench.cpp): 1 MiB sent by the control (1K blocks, CRC) to rx against
# 1 MiB from sx -k to rx with no Wine at all (rx's run time in both, so both
# include rx's start and the start handshake); 64 KiB received by the control
# from sx -k against the bound of one block per 300 ms; CPU while a send waits
# 10 s for a silent peer, in the start handshake and for an answer.
#   bench/run-xmodem-bench.sh [BUILD_DIR]
set -uo pipefail
BENCH_EXE=xmodem_bench.exe
# shellcheck source=common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
command -v sx >/dev/null && command -v rx >/dev/null || { echo "lrzsz (sx, rx) is needed"; exit 1; }
mkdir -p "$WORK"
trap cleanup EXIT
start_bridge L || exit 1
setup_prefix "COM5=$L_PORT" || exit 1
DIR="$WORK/files"
mkdir -p "$DIR"
head -c 1048576 /dev/urandom >"$DIR/mib.bin"
head -c 65536 /dev/urandom >"$DIR/k64.bin"
fifo="$WORK/host.fifo"
mkfifo "$fifo"

# lrzsz on a pty: its standard input through a pipe, so that its exit does not
# flush away the last bytes it wrote (see tests/integration/xmodem_lib.sh).
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

# bench ARGS...: the host; "READY start" runs on_start. Prints its lines.
bench() {
  QLR_WINE_TIMEOUT=600 wine_run "$(winpath "$EXE")" "$(winpath "$OCX")" 5 "$@" >"$fifo" &
  local host=$!
  CLEANUP_PIDS+=("$host")
  while IFS= read -r -t 600 line; do
    line="${line%$'\r'}"
    case "$line" in "READY start") on_start ;; *) echo "  $line" ;; esac
  done <"$fifo"
  wait "$host"
}
rate() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.0f", b / s / 1000 }'; }

echo "1 MiB to rx -c (rx's run time, from its start to its exit), ${QLR_BENCH_ROUNDS:-3} rounds:"
ratios=()
for round in $(seq 1 "${QLR_BENCH_ROUNDS:-3}"); do
  # Both ptys raw again (lrzsz sets no terminal modes when its standard input
  # is a pipe, and the control's port settings stay on its pty), and nothing
  # left on the line from the round before.
  for tty in "$L_PORT" "$L_PEER"; do
    stty -F "$tty" raw -echo -ixon -ixoff 2>/dev/null
    timeout 1 cat "$tty" >/dev/null 2>&1
  done
  rm -f "$DIR/out.bin"
  lrz "$L_PORT" sx -k -q mib.bin; SX_PID=$LRZ_PID; SX_FEED=$FEED_PID
  T0=$EPOCHREALTIME; lrz "$L_PEER" rx -X -c -q out.bin; lrz_end; T1=$EPOCHREALTIME
  LRZ_PID=$SX_PID FEED_PID=$SX_FEED lrz_end
  theirs=$(awk -v a="$T0" -v b="$T1" 'BEGIN { print b - a }')
  cmp -s "$DIR/out.bin" "$DIR/mib.bin" && same=identical || same=DIFFERENT
  echo "  sx -k:       $(printf %.2f "$theirs") s, $(rate 1048576 "$theirs") KB/s (file $same)"
  rm -f "$DIR/out.bin"
  on_start() { T0=$EPOCHREALTIME; lrz "$L_PEER" rx -X -c -q out.bin; }
  bench send "$(winpath "$DIR/mib.bin")"
  lrz_end; T1=$EPOCHREALTIME
  ours=$(awk -v a="$T0" -v b="$T1" 'BEGIN { print b - a }')
  cmp -s "$DIR/out.bin" "$DIR/mib.bin" && same=identical || same=DIFFERENT
  echo "  the control: $(printf %.2f "$ours") s, $(rate 1048576 "$ours") KB/s (file $same)"
  ratios+=("$(awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "%.2f", b / a }')")
  echo "  ratio (control / sx -k throughput): ${ratios[-1]}"
done
echo "  median ratio: $(printf '%s\n' "${ratios[@]}" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')"

echo
echo "64 KiB from sx -k to the control:"
lrz "$L_PEER" sx -k -q k64.bin
on_start() { :; }
bench recv "$(winpath "$DIR/in.bin")"
lrz_end
cmp -s "$DIR/in.bin" "$DIR/k64.bin" && echo "  file identical" || echo "  file DIFFERENT"

echo
echo "CPU of the host process while a send waits for a silent peer:"
on_start() { :; }
bench idle start "$(winpath "$DIR/mib.bin")"
on_start() { printf 'C' >"$L_PEER"; }
bench idle ack "$(winpath "$DIR/mib.bin")"
