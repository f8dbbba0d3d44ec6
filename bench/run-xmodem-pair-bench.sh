#!/usr/bin/env bash
# 256 KiB from this control to this control: two controls of one host on the
# two ends of a clean pty cable (tests/integration/soak_host.exe), in 1K CRC
# blocks (QLR_PAIR_PROTOS="3 2" adds 128-byte CRC blocks), against the receiver's own bound of one
# block per 300 ms measured as the sum of its pauses.
#   bench/run-xmodem-pair-bench.sh [BUILD_DIR] [KIB]
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Absolute: the port mappings and Wine paths are made from it.
BUILD_DIR="$(realpath -m "${1:-$ROOT/build-x64}")"
grep -qs "^CMAKE_BUILD_TYPE:STRING=Release$" "$BUILD_DIR/CMakeCache.txt" \
  || echo "note: $BUILD_DIR is not a Release build; figures of the shipped module come from one"
KIB="${2:-256}"
set -- --build "$BUILD_DIR"
# shellcheck source=../tests/integration/lib.sh
. "$ROOT/tests/integration/lib.sh"
OCX="$BUILD_DIR/qlrcom32.ocx"
EXE="$BUILD_DIR/tests/integration/soak_host.exe"
[ -f "$OCX" ] && [ -f "$EXE" ] || { echo "build first: cmake --build $BUILD_DIR"; exit 1; }
mkdir -p "$WORK/host"
trap cleanup EXIT
start_bridge L || exit 1
start_bridge M || exit 1
setup_prefix "COM4=$L_PORT" "COM5=$M_PORT" "COM6=$M_PEER" || exit 1
wine_run regsvr32 /s "$(winpath "$OCX")" || { echo "registration failed"; exit 1; }
head -c $(( KIB * 1024 )) /dev/urandom >"$WORK/host/out.bin"
in="$WORK/in.fifo" out="$WORK/out.fifo"
mkfifo "$in" "$out"
exec 6<>"$in"
(cd "$WORK/host" && exec timeout 1200 wine "$EXE" 4 5 6 600) <&6 >"$out" 2>>"$WORK/host.err" &
CLEANUP_PIDS+=("$!")
exec 7<"$out"
read -r -t 120 line <&7
[ "${line%$'\r'}" = READY ] || { echo "host did not start: $(cat "$WORK/host.err")"; exit 1; }
for proto in ${QLR_PAIR_PROTOS:-3}; do  # 2: 128-byte blocks, eight times as long
  bs=1024; [ $proto -eq 2 ] && bs=128
  rm -f "$WORK/host/in.bin"
  echo "pair out.bin in.bin $proto" >&6
  read -r -t 60 line <&7
  read -r -t 1200 line <&7
  read -r _ s r blocks ms <<<"${line%$'\r'}"
  cmp -s "$WORK/host/out.bin" "$WORK/host/in.bin" && same=identical || same=DIFFERENT
  bound=$(( (KIB * 1024 / bs) * 300 ))
  echo "$KIB KiB, $bs-byte blocks: $ms ms (codes $s/$r, $blocks blocks, file $same);" \
       "receiver's pauses alone $bound ms, ratio $(awk -v a="$bound" -v b="$ms" 'BEGIN { printf "%.3f", a / b }')," \
       "$(awk -v b="$(( KIB * 1024 ))" -v m="$ms" 'BEGIN { printf "%.1f", b / m }') KB/s"
done
echo quit >&6
