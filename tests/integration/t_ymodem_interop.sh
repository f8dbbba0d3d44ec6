#!/usr/bin/env bash
# YMODEM batches through the registered control against lrzsz over a pty
# line, both ways: SendFile of names separated by '|' and of a pattern to rb
# (1K blocks, 128-byte ones for the tail, files of 0 to 70000 bytes), RecvFile
# from sb into a folder and into a file (the rest beside it), YModemG from sb,
# and a scripted sender whose names try to leave the folder. Every file must
# arrive with its exact length and, from lrzsz, its modification time.
. "$(dirname "$0")/lib.sh"
command -v sb >/dev/null && command -v rb >/dev/null || skip "lrzsz (sb, rb) not installed"
. "$(dirname "$0")/xmodem_lib.sh"

SRC="$WORK/src"
OUT="$WORK/out"
mkdir -p "$SRC" "$OUT"
SIZES="0 1 128 129 1024 1025 4000 70000"
for n in $SIZES; do
  make_file "$SRC/y$n.bin" "$n"
  touch -d "@$((1500000000 + n))" "$SRC/y$n.bin"
done

# yblocks SIZE...: the data blocks a sender of 1K blocks with a 128-byte tail needs.
yblocks() {
  local n=0 left size
  for size in "$@"; do
    left=$size
    while [ "$left" -gt 0 ]; do
      if [ "$left" -gt 896 ]; then left=$((left - 1024)); else left=$((left - 128)); fi
      n=$((n + 1))
    done
  done
  echo "$n"
}

# ---- our sender, rb on the far end ------------------------------------------
# ysend LABEL PROTO NAMES FILE...: SendFile(NAMES); FILE... must arrive.
ysend() {
  local label="$1" proto="$2" names="$3" f sizes=(); shift 3
  for f in "$@"; do sizes+=("$(stat -c %s "$SRC/$f")"); done
  rm -rf "$PEER_DIR" && mkdir -p "$PEER_DIR"
  PEER_CMD=(rb)
  if host "$label" send file="$names" proto="$proto" blocks="$(yblocks "${sizes[@]}")"; then
    peer_wait 20; check "$label: rb ends with success" test $? -eq 0
    arrived "$label" "$SRC" "$PEER_DIR" "$@"
  fi
  peer_kill
}

W_SRC="$(winpath "$SRC")"
names=""
for n in $SIZES; do names="$names${names:+|}$W_SRC\\y$n.bin"; done
ysend "send a batch of eight to rb" 4 "$names" $(for n in $SIZES; do echo "y$n.bin"; done)
ysend "send a pattern to rb" 4 "$W_SRC\\y10*.bin" y1024.bin y1025.bin
ysend "YModemG sender to rb, which asks for CRC" 5 "$W_SRC\\y4000.bin" y4000.bin

# ---- sb on the far end, our receiver ----------------------------------------
# yrecv LABEL PROTO DEST SBOPTS FILE...: sb sends FILE...; RecvFile(DEST).
yrecv() {
  local label="$1" proto="$2" dest="$3" sbopts="$4" f sizes=(); shift 4
  rm -rf "$PEER_DIR" && mkdir -p "$PEER_DIR"
  for f in "$@"; do cp -p "$SRC/$f" "$PEER_DIR/"; done
  # shellcheck disable=SC2206
  PEER_CMD=(sb $sbopts "$@")
  peer_start
  if host "$label" recv file="$dest" proto="$proto" "${HOST_ARGS[@]}"; then
    peer_wait 20; check "$label: sb ends with success" test $? -eq 0
  fi
  peer_kill
}

HOST_ARGS=()
rm -rf "$OUT/a"
yrecv "recv a batch into a new folder" 4 "$(winpath "$OUT/a")\\" "-k" y0.bin y1.bin y1025.bin y70000.bin
arrived "recv a batch into a new folder" "$SRC" "$OUT/a" y0.bin y1.bin y1025.bin y70000.bin

mkdir -p "$OUT/b"
yrecv "recv 128-byte blocks into a folder" 4 "$(winpath "$OUT/b")" "" y129.bin y4000.bin
arrived "recv 128-byte blocks into a folder" "$SRC" "$OUT/b" y129.bin y4000.bin

rm -rf "$OUT/c" && mkdir -p "$OUT/c"
yrecv "recv into a file: the first as it, the rest beside it" 4 "$(winpath "$OUT/c/first.bin")" "-k" \
  y1024.bin y128.bin
same "recv into a file: the first file" "$SRC/y1024.bin" "$OUT/c/first.bin"
arrived "recv into a file" "$SRC" "$OUT/c" y128.bin

rm -rf "$OUT/g"
yrecv "recv YModemG from sb" 5 "$(winpath "$OUT/g")\\" "-k" y70000.bin y1025.bin y0.bin
arrived "recv YModemG from sb" "$SRC" "$OUT/g" y70000.bin y1025.bin y0.bin

# ---- a sender whose names try to leave the folder ----------------------------
rm -rf "$OUT/h" && mkdir -p "$OUT/h"
PEER_CMD=(python3 "$(dirname "$0")/ymodem_peer.py" '..\..\x' 'C:\x' CON 'a:b' '../../y' '/etc/z'
  'nul.txt' 'LPT1')
peer_start
host "hostile names" recv file="$(winpath "$OUT/h")" proto=4 blocks=8
peer_wait 20; check "hostile names: the sender ends with success" test $? -eq 0
peer_kill
check "hostile names: only mapped names in the folder ($(ls "$OUT/h" | tr '\n' ' '))" \
  test "$(ls "$OUT/h" | LC_ALL=C sort | tr '\n' ' ')" = "_CON _LPT1 _nul.txt a_b x y z "
check "hostile names: 'C:\\x' replaced '..\\..\\x'" grep -q '^1:C:' "$OUT/h/x"
check "hostile names: nothing outside the folder" \
  test -z "$(find "$WORK" -maxdepth 2 \( -name x -o -name y -o -name z -o -iname con \) )"
finish
