#!/usr/bin/env bash
# XModem transfer control through the registered control, against lrzsz or a
# scripted far end: AbortTransfer in the start handshake, during the blocks and
# while the sender waits for the answer to EOT; a far end that vanishes in the
# middle; peers that never start (with their failure message boxes, answered
# by the host); CloseComm during a send and the release of a control during a
# receive; the overwrite question declined; file names outside the ANSI code
# page and names too long for it.
XM_SECOND=1
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/xmodem_lib.sh"

SRC="$WORK/src"
OUT="$WORK/out"
mkdir -p "$SRC" "$OUT"
make_file "$SRC/big" 1048576
make_file "$SRC/f65536" 65536
make_file "$SRC/f130" 130
: >"$SRC/empty"
RX=(rx -X -c out.bin)
SX=(sx -k send.bin)
cp "$SRC/f65536" "$PEER_DIR/send.bin"
W_BIG="$(winpath "$SRC/big")"
W_OUT="$(winpath "$OUT/in.bin")"
IN_BLOCKS='2114|2110|2109|2108'  # an abort noticed at the top of a pass or inside a read

# ---- no peer needed -----------------------------------------------------------
PEER_CMD=()
host "names" names missing="$(winpath "$SRC/$(printf 'n\u00e4-\u03a9-\u7121.bin')")"

cp "$SRC/f130" "$OUT/keep.bin"
host "overwrite declined" recv file="$(winpath "$OUT/keep.bin")" show=1 ask=cancel
same "overwrite declined: the file is untouched" "$SRC/f130" "$OUT/keep.bin"

host "never: no start character, no block" never port2=5 file="$(winpath "$SRC/f130")" \
  file2="$(winpath "$OUT/never.bin")"

host "abort send in the start handshake" abort dir=send nowait=1 at=0 file="$W_BIG" proto=2 expect=2114

# The receiver's 'C' reaches the far end, which then has the abort made.
on_ready() {
  case "$1" in
    end) c=$(peer_byte); echo GO >&5 ;;
    *) return 0 ;;
  esac
}
host "abort recv in the start handshake" abort dir=recv go=1 file="$W_OUT" proto=0 expect=2105
check "abort recv in the start handshake: the far end got 'C' ($c)" test "$c" = 43

# An empty file: EOT right after the start; a NAK to it brings EOT again; the
# abort while the sender waits for the second answer gives 2114.
on_ready() {
  case "$1" in
    start) printf 'C' >"$L_PEER" ;;
    end) e1=$(peer_byte); printf '\025' >"$L_PEER"; e2=$(peer_byte); echo GO >&5 ;;
  esac
}
host "abort send while it waits for the answer to EOT" abort dir=send go=1 file="$(winpath "$SRC/empty")" \
  proto=0 expect=2114 status=-1 blocks=0
check "the empty file's first byte after the start is EOT ($e1), and a NAK brings EOT again ($e2)" \
  test "$e1:$e2" = 04:04

# ---- lrzsz on the far end -------------------------------------------------------
on_ready() { default_ready "$1"; }
PEER_CMD=("${RX[@]}")
host "abort send during the blocks" abort dir=send at=16 file="$W_BIG" proto=3 expect='2114|2105|2106|2107|2108'
peer_kill
host "rx vanishes during the blocks" abort dir=send at=16 kill=1 file="$W_BIG" proto=3 expect='2108|2114'

# A receive from sx: the file keeps the blocks written before the stop.
partial() {
  local size
  size=$(stat -c %s "$OUT/in.bin" 2>/dev/null || echo -1)
  check "$1: the file holds whole blocks from the start ($size bytes)" \
    eval '[ "$size" -ge 1024 ] && [ $((size % 1024)) -eq 0 ] && cmp -s -n "$size" "$OUT/in.bin" "$SRC/f65536"'
}
PEER_CMD=("${SX[@]}")
rm -f "$OUT/in.bin"; peer_start
host "abort recv during the blocks" abort dir=recv at=3 file="$W_OUT" proto=0 expect="$IN_BLOCKS"
peer_kill; partial "abort recv during the blocks"
rm -f "$OUT/in.bin"; peer_start
host "sx vanishes during the blocks" abort dir=recv at=3 kill=1 file="$W_OUT" proto=0 expect="$IN_BLOCKS"
peer_kill; partial "sx vanishes during the blocks"

PEER_CMD=("${RX[@]}")
host "CloseComm during a send, then release during a receive" close at=16 file="$W_BIG" proto=3 \
  file2="$(winpath "$OUT/released.bin")" expect=2114
peer_kill
finish
