#!/usr/bin/env bash
# XModem through the registered control against lrzsz over a pty line, both
# ways: SendFile to rx (checksum and CRC, 128- and 1024-byte blocks) and
# RecvFile from sx (128 and 1K blocks) with XModemAuto, XModemCrc,
# XModemCheckSum and XModem1K. Files of 0 to 1025 bytes, one of more than 256
# blocks (block numbers wrap), one over 1 MiB (sending), names outside the
# ANSI code page, an overwrite question answered OK, and rx --errors, which
# corrupts received bytes so that blocks are rejected and sent again.
# What rx writes is the file padded with SUB to whole blocks; what our
# receiver writes is the file itself, its trailing SUB bytes removed.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/xmodem_lib.sh"

SRC="$WORK/src"
OUT="$WORK/out"
mkdir -p "$SRC" "$OUT"
SIZES="0 1 127 128 129 130 1024 1025"
for n in $SIZES 4096 16384 38405 1048676 263268; do make_file "$SRC/f$n" "$n"; done

# ---- our sender, rx on the far end ------------------------------------------
# send LABEL SIZE PROTO BLOCK RXOPTS [HOSTARGS...]
send() {
  local label="$1" size="$2" proto="$3" bs="$4" rxopts="$5"; shift 5
  local src="${SRC_FILE:-$SRC/f$size}"
  rm -f "$PEER_DIR/out.bin"
  # shellcheck disable=SC2206
  PEER_CMD=(rx -X $rxopts out.bin)
  if host "$label" send file="$(winpath "$src")" proto="$proto" blocks="$(blocks "$size" "$bs")" "$@"; then
    peer_wait 20; check "$label: rx ends with success" test $? -eq 0
    padded "$src" "$bs" >"$OUT/want.bin"
    same "$label" "$OUT/want.bin" "$PEER_DIR/out.bin"
  fi
  peer_kill
}

p=0
for n in $SIZES; do
  send "send crc 128 (proto $p) $n" "$n" "$p" 128 -c
  p=$(( (p + 1) % 3 ))
  send "send checksum 128 $n" "$n" 2 128 ""
  send "send crc 1K $n" "$n" 3 1024 -c
  send "send checksum 1K $n" "$n" 3 1024 ""
done
send "send wrap: 301 blocks of 128" 38405 0 128 ""
send "send 1 MiB + 100 in 1K blocks" 1048676 3 1024 -c again=1
SRC_FILE="$SRC/$(printf 'd\u00e9j\u00e0-\u03b1\u03b2-\u9001\u4fe1.bin')"
cp "$SRC/f130" "$SRC_FILE"
send "send from a name outside code page 1252" 130 2 128 -c
unset SRC_FILE

# rx --errors N flips a bit of the byte at (bytes so far mod N) of each read
# that reaches that far: blocks come with a bad CRC, number or header and are
# sent again. The file still arrives whole, and rx logs the rejections.
# (Each rejection costs about a second: rx waits for a silent line before its
# NAK, with alarm(1).)
for e in "1K 16384 3 1024 3000" "128 4096 0 128 700"; do
  set -- $e
  : >"$WORK/peer.log"
  send "send $1 through rx --errors $5" "$2" "$3" "$4" "-c --errors $5 -vv"
  rejected=$(grep -c -E 'CRC|Checksum|garbled|sector header|Sync' "$WORK/peer.log")
  check "send $1 through rx --errors $5: rx rejected blocks ($rejected)" test "$rejected" -gt 0
done

# ---- sx on the far end, our receiver ----------------------------------------
# recv LABEL SIZE PROTO SXOPTS [HOSTARGS...]
recv() {
  local label="$1" size="$2" proto="$3" sxopts="$4"; shift 4
  local src="${SRC_FILE:-$SRC/f$size}" out="${OUT_FILE:-$OUT/in.bin}"
  [ -n "${KEEP_OUT:-}" ] || rm -f "$out"
  cp "$src" "$PEER_DIR/send.bin"
  # shellcheck disable=SC2206
  PEER_CMD=(sx $sxopts send.bin)
  peer_start
  if host "$label" recv file="$(winpath "$out")" proto="$proto" "$@"; then
    peer_wait 20; check "$label: sx ends with success" test $? -eq 0
    same "$label" "${WANT:-$src}" "$out"
  fi
  peer_kill
}

for n in $SIZES; do recv "recv 1K, XModemAuto, $n" "$n" 0 -k; done
for n in 1 130 1025; do recv "recv 128, XModemCrc, $n" "$n" 2 ""; done
recv "recv 1K, XModemCrc, 1025" 1025 2 -k
for n in 0 130 1025; do recv "recv 128, XModemCheckSum, $n" "$n" 1 ""; done
# sx -k answers the NAK with a 1K block, which the checksum handshake refuses;
# after a NAK more sx goes on in 128-byte blocks.
recv "recv 1K, XModemCheckSum, 1025" 1025 1 -k
recv "recv 1K, XModem1K, 129" 129 3 -k

# Trailing SUB bytes of the file itself are taken for padding.
SRC_FILE="$SRC/sub.bin" WANT="$SRC/sub-trimmed.bin"
{ head -c 200 "$SRC/f1025"; printf 'end\032\032'; } >"$SRC_FILE"
{ head -c 200 "$SRC/f1025"; printf 'end'; } >"$WANT"
recv "recv a file ending in SUB" 205 0 ""
unset SRC_FILE WANT

# An existing file: the question, answered OK, and the file replaced.
OUT_FILE="$OUT/$(printf 'ex\u00efst-\u53d7\u4fe1.bin')" KEEP_OUT=1
head -c 3000 /dev/zero >"$OUT_FILE"
recv "recv onto an existing file (Unicode name)" 1024 0 -k show=1 ask=ok
unset OUT_FILE KEEP_OUT

recv "recv wrap: 257 blocks of 1K and one of 128" 263268 0 -k limit=140 blocks=258
finish
