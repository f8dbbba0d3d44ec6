#!/usr/bin/env bash
# YMODEM and ZMODEM figures on one pty pair under Wine, lrzsz on the far end
# (xmodem_bench.cpp with QLR_BENCH_PROTO): each against lrzsz to lrzsz on the
# same pair with no Wine at all, timed the same way (from the start of the far
# end, once the control's host is up, to the far end's exit), in alternating
# rounds:
#   - ZMODEM: 4 MiB sent by the control to rz, against sz -> rz;
#   - ZMODEM: 4 MiB received by the control from sz, against sz -> rz;
#   - YMODEM: a batch of 20 files (0 B to 200 KiB) sent to rb and received
#     from sb -k, against sb -k -> rb;
#   - the host process's CPU while it streams (every thread, not the wineserver).
#   bench/run-batch-bench.sh [BUILD_DIR]        (QLR_BENCH_ROUNDS, default 3)
# An unpaced pty moves tens of MB/s, so there the figures weigh the cost of a
# call into the port driver (Wine's, for the control) against lrzsz's plain
# system calls. On a line paced at a serial port's speed they weigh streaming:
#   QLR_BENCH_BAUD=921600   pace the pair at that speed (the bridge's -b)
#   QLR_BENCH_KIB=1024      the ZMODEM file's size (default 4096)
#   QLR_BENCH_YMODEM=0      leave out the YMODEM batch
set -uo pipefail
BENCH_EXE=xmodem_bench.exe
# shellcheck source=common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
command -v sz >/dev/null && command -v rb >/dev/null || { echo "lrzsz is needed"; exit 1; }
mkdir -p "$WORK"
trap cleanup EXIT
BRIDGE_LIMIT="${BRIDGE_LIMIT:-7200}"
BAUD="${QLR_BENCH_BAUD:-}"
KIB="${QLR_BENCH_KIB:-4096}"
SIZE="$KIB KiB"; [ $(( KIB % 1024 )) -eq 0 ] && SIZE="$(( KIB / 1024 )) MiB"
if [ -n "$BAUD" ]; then
  echo "line paced at $BAUD bit/s (10 bits a byte): $(( BAUD / 10 )) bytes/s at most"
  start_bridge L -b "$BAUD" || exit 1
else
  start_bridge L || exit 1
fi
setup_prefix "COM5=$L_PORT" || exit 1
SRC="$WORK/src"
mkdir -p "$SRC"
head -c $(( KIB * 1024 )) /dev/urandom >"$SRC/big.bin"
BATCH=()
for i in $(seq 0 19); do
  f="b$i.bin"
  head -c $(( i * 204800 / 19 )) /dev/urandom >"$SRC/$f"
  BATCH+=("$f")
done
fifo="$WORK/host.fifo"
mkfifo "$fifo"

lrz() {  # lrz TTY DIR PROGRAM ARGS...: sets LRZ_PID and FEED_PID
  local tty="$1" dir="$2"; shift 2
  local in="$WORK/in.$RANDOM"
  mkfifo "$in"
  cat "$tty" >"$in" &
  FEED_PID=$!
  (cd "$dir" && exec timeout 600 "$@" <"$in" >"$tty" 2>>"$WORK/lrzsz.log") &
  LRZ_PID=$!
  CLEANUP_PIDS+=("$FEED_PID" "$LRZ_PID")
}
lrz_end() { wait "$LRZ_PID"; local st=$?; kill "$FEED_PID" 2>/dev/null; wait "$FEED_PID" 2>/dev/null; return $st; }
bench() {  # bench PROTO ARGS...: the host's lines, indented; "READY start" runs on_start
  local proto="$1"; shift
  QLR_BENCH_PROTO=$proto QLR_WINE_TIMEOUT=900 wine_run "$(winpath "$EXE")" "$(winpath "$OCX")" 5 "$@" >"$fifo" &
  local host=$!
  CLEANUP_PIDS+=("$host")
  while IFS= read -r -t 900 line; do
    line="${line%$'\r'}"
    case "$line" in "READY start") on_start ;; *) echo "    $line" ;; esac
  done <"$fifo"
  wait "$host"
}
settle() {
  for tty in "$L_PORT" "$L_PEER"; do
    stty -F "$tty" raw -echo -ixon -ixoff 2>/dev/null
    timeout 1 cat "$tty" >/dev/null 2>&1
  done
}
since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }'; }
ratio() { awk -v ours="$1" -v theirs="$2" 'BEGIN { printf "%.2f", theirs / ours }'; }
median() { printf '%s\n' "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
verdict() {  # verdict DIR FILE...
  local d="$1" f; shift
  for f in "$@"; do cmp -s "$SRC/$f" "$d/$f" || { echo DIFFERENT; return; }; done
  echo identical
}
fresh() { rm -rf "$1" && mkdir -p "$1"; }

ROUNDS="${QLR_BENCH_ROUNDS:-3}"
zs=() zr=() ys=() yr=()
for round in $(seq 1 "$ROUNDS"); do
  echo "round $round:"
  # sz -> rz, no Wine: from rz's start to its exit.
  settle; fresh "$WORK/a"
  lrz "$L_PORT" "$SRC" sz -q big.bin; S_PID=$LRZ_PID; S_FEED=$FEED_PID
  T0=$EPOCHREALTIME; lrz "$L_PEER" "$WORK/a" rz -q; lrz_end; theirs=$(since "$T0")
  LRZ_PID=$S_PID FEED_PID=$S_FEED lrz_end
  echo "  sz -> rz, $SIZE: $theirs s ($(verdict "$WORK/a" big.bin))"
  # the control -> rz
  settle; fresh "$WORK/b"
  on_start() { T0=$EPOCHREALTIME; lrz "$L_PEER" "$WORK/b" rz -q; }
  bench 6 send "$(winpath "$SRC/big.bin")"; lrz_end; ours=$(since "$T0")
  echo "  control -> rz: $ours s ($(verdict "$WORK/b" big.bin)), ratio $(ratio "$ours" "$theirs")"
  zs+=("$(ratio "$ours" "$theirs")")
  # sz -> the control: from sz's start to its exit
  settle; fresh "$WORK/c"
  on_start() { T0=$EPOCHREALTIME; lrz "$L_PEER" "$SRC" sz -q big.bin; }
  bench 6 recv "$(winpath "$WORK/c")\\"; lrz_end; ours=$(since "$T0")
  echo "  sz -> control: $ours s ($(verdict "$WORK/c" big.bin)), ratio $(ratio "$ours" "$theirs")"
  zr+=("$(ratio "$ours" "$theirs")")

  [ "${QLR_BENCH_YMODEM:-1}" = 0 ] && continue
  # sb -k -> rb, 20 files
  settle; fresh "$WORK/d"
  lrz "$L_PORT" "$SRC" sb -k -q "${BATCH[@]}"; S_PID=$LRZ_PID; S_FEED=$FEED_PID
  T0=$EPOCHREALTIME; lrz "$L_PEER" "$WORK/d" rb -q; lrz_end; theirs=$(since "$T0")
  LRZ_PID=$S_PID FEED_PID=$S_FEED lrz_end
  echo "  sb -k -> rb, 20 files: $theirs s ($(verdict "$WORK/d" "${BATCH[@]}"))"
  settle; fresh "$WORK/e"
  names="$(winpath "$SRC")\\b*.bin"  # the 20 files, by pattern
  on_start() { T0=$EPOCHREALTIME; lrz "$L_PEER" "$WORK/e" rb -q; }
  bench 4 send "$names"; lrz_end; ours=$(since "$T0")
  echo "  control -> rb: $ours s ($(verdict "$WORK/e" "${BATCH[@]}")), ratio $(ratio "$ours" "$theirs")"
  ys+=("$(ratio "$ours" "$theirs")")
  settle; fresh "$WORK/f"
  on_start() { T0=$EPOCHREALTIME; lrz "$L_PEER" "$SRC" sb -k -q "${BATCH[@]}"; }
  bench 4 recv "$(winpath "$WORK/f")\\"; lrz_end; ours=$(since "$T0")
  echo "  sb -k -> control: $ours s ($(verdict "$WORK/f" "${BATCH[@]}")), ratio $(ratio "$ours" "$theirs")"
  yr+=("$(ratio "$ours" "$theirs")")
done
echo
echo "median ratios (lrzsz's time / the control's; above 1: the control is faster):"
echo "  ZMODEM $SIZE, control -> rz against sz -> rz:   $(median "${zs[@]}")"
echo "  ZMODEM $SIZE, sz -> control against sz -> rz:   $(median "${zr[@]}")"
[ "${QLR_BENCH_YMODEM:-1}" = 0 ] && exit 0
echo "  YMODEM 20 files, control -> rb against sb -> rb: $(median "${ys[@]}")"
echo "  YMODEM 20 files, sb -> control against sb -> rb: $(median "${yr[@]}")"
