#!/usr/bin/env bash
# XModem through the registered control against lrzsz over a line paced at
# the port's own speed (ptybridge -p): a block takes longer on the wire than
# the answer time, and the transfers still complete, both ways, at 600 baud
# in 1K blocks and at 110 baud in 128-byte blocks (short files, so that the
# run stays short). lrzsz is given long time-outs (-t, tenths of seconds).
. "$(dirname "$0")/lib.sh"
XM_BRIDGE_OPTS=-p
. "$(dirname "$0")/xmodem_lib.sh"

SRC="$WORK/src"
OUT="$WORK/out"
mkdir -p "$SRC" "$OUT"
make_file "$SRC/f1500" 1500
make_file "$SRC/f100" 100

# paced LABEL DIR SIZE BLOCK BAUD PROTO
paced() {
  local label="$1" dir="$2" size="$3" bs="$4" baud="$5" proto="$6" k=""
  [ "$bs" = 1024 ] && k=-k
  if [ "$dir" = send ]; then
    rm -f "$PEER_DIR/out.bin"
    PEER_CMD=(rx -X -c -t 600 out.bin)
    if host "$label" send file="$(winpath "$SRC/f$size")" proto="$proto" \
        blocks="$(blocks "$size" "$bs")" baud="$baud" limit=200; then
      peer_wait 30; check "$label: rx ends with success" test $? -eq 0
      padded "$SRC/f$size" "$bs" >"$OUT/want.bin"
      same "$label" "$OUT/want.bin" "$PEER_DIR/out.bin"
    fi
  else
    rm -f "$OUT/in.bin"
    cp "$SRC/f$size" "$PEER_DIR/send.bin"
    # shellcheck disable=SC2206
    PEER_CMD=(sx $k -t 600 send.bin)
    peer_start
    if host "$label" recv file="$(winpath "$OUT/in.bin")" proto="$proto" baud="$baud" \
        limit=200; then
      peer_wait 30; check "$label: sx ends with success" test $? -eq 0
      same "$label" "$SRC/f$size" "$OUT/in.bin"
    fi
  fi
  peer_kill
}

HOST_LIMIT=230
paced "send 1K at 600 baud" send 1500 1024 600 3
paced "recv 1K at 600 baud" recv 1500 1024 600 0
paced "send 128 at 110 baud" send 100 128 110 2
paced "recv 128 at 110 baud" recv 100 128 110 2
finish
