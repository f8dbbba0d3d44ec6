#!/usr/bin/env bash
# ZMODEM batches through the registered control against lrzsz over a pty
# line, both ways: SendFile to rz (plain and rz -e, which wants every control
# character escaped), RecvFile from sz (plain, -e, -8 for 8K subpackets),
# crash recovery both ways (sz -r to our receiver with a partial file whose
# bytes are the sender's, and one whose bytes are not; rz -r resuming from
# our sender), and sz sending names that try to leave the folder. Every file
# must arrive whole, with its modification time.
. "$(dirname "$0")/lib.sh"
command -v sz >/dev/null && command -v rz >/dev/null || skip "lrzsz (sz, rz) not installed"
. "$(dirname "$0")/xmodem_lib.sh"

SRC="$WORK/src"
OUT="$WORK/out"
mkdir -p "$SRC" "$OUT"
SIZES="0 1 1024 8193 70000 300000"
for n in $SIZES; do
  make_file "$SRC/z$n.bin" "$n"
  touch -d "@$((1600000000 + n))" "$SRC/z$n.bin"
done
# Every byte value, the ZDLE and flow-control bytes among them, many times.
perl -e 'print pack("C*", map { $_ % 256 } 0 .. 65535) x 2' >"$SRC/zall.bin"
touch -d "@1600000001" "$SRC/zall.bin"

# ---- our sender, rz on the far end ------------------------------------------
# zsend LABEL RZOPTS NAMES FILE...
zsend() {
  local label="$1" rzopts="$2" names="$3"; shift 3
  # shellcheck disable=SC2206
  PEER_CMD=(rz $rzopts)
  if host "$label" send file="$names" proto=6 nowait=1 "${HOST_ARGS[@]}"; then
    peer_wait 30; check "$label: rz ends with success" test $? -eq 0
    arrived "$label" "$SRC" "$PEER_DIR" "$@"
  fi
  peer_kill
}
W_SRC="$(winpath "$SRC")"
HOST_ARGS=()
names=""
for n in $SIZES; do names="$names${names:+|}$W_SRC\\z$n.bin"; done
rm -rf "$PEER_DIR" && mkdir -p "$PEER_DIR"
PEER_CMD=(rz); peer_start
zsend "send a batch to rz" "" "$names|$W_SRC\\zall.bin" $(for n in $SIZES; do echo "z$n.bin"; done) zall.bin
rm -rf "$PEER_DIR" && mkdir -p "$PEER_DIR"
PEER_CMD=(rz -e); peer_start
zsend "send to rz -e" "-e" "$W_SRC\\zall.bin|$W_SRC\\z70000.bin" zall.bin z70000.bin
# rz -r resumes a partial file from its own length rounded down to 1K
# (149504): our sender goes on from the position it asks for, and sends only
# the rest (QcProgress counts the KiB sent).
rm -rf "$PEER_DIR" && mkdir -p "$PEER_DIR"
head -c 150000 "$SRC/z300000.bin" >"$PEER_DIR/z300000.bin"
PEER_CMD=(rz -r); peer_start
HOST_ARGS=(blocks=146)  # (300000 - 149504) / 1024
zsend "send to rz -r, which resumes" "-r" "$W_SRC\\z300000.bin" z300000.bin

# ---- sz on the far end, our receiver ----------------------------------------
# zrecv LABEL DEST SZOPTS FILE...: sz sends FILE... from PEER_DIR.
zrecv() {
  local label="$1" dest="$2" szopts="$3" f; shift 3
  rm -rf "$PEER_DIR" && mkdir -p "$PEER_DIR"
  for f in "$@"; do cp -p "$SRC/$f" "$PEER_DIR/" 2>/dev/null || true; done
  # shellcheck disable=SC2206
  PEER_CMD=(sz $szopts "$@")
  peer_start
  if host "$label" recv file="$dest" proto=6 "${HOST_ARGS[@]}"; then
    peer_wait 30; check "$label: sz ends with success" test $? -eq 0
  fi
  peer_kill
}
HOST_ARGS=()
rm -rf "$OUT/a"
zrecv "recv a batch into a new folder" "$(winpath "$OUT/a")\\" "" z0.bin z1.bin z8193.bin z300000.bin zall.bin
arrived "recv a batch into a new folder" "$SRC" "$OUT/a" z0.bin z1.bin z8193.bin z300000.bin zall.bin
rm -rf "$OUT/e" && mkdir -p "$OUT/e"
zrecv "recv from sz -e" "$(winpath "$OUT/e")" "-e" zall.bin z70000.bin
arrived "recv from sz -e" "$SRC" "$OUT/e" zall.bin z70000.bin
rm -rf "$OUT/k" && mkdir -p "$OUT/k"
zrecv "recv 8K subpackets (sz -8)" "$(winpath "$OUT/k")" "-8" z300000.bin
arrived "recv 8K subpackets (sz -8)" "$SRC" "$OUT/k" z300000.bin

# Crash recovery: the first 100000 bytes are there. When they are the
# sender's, only the rest comes (QcProgress counts KiB of data moved); when
# one of them differs, the file comes anew.
rm -rf "$OUT/r" && mkdir -p "$OUT/r"
head -c 100000 "$SRC/z300000.bin" >"$OUT/r/z300000.bin"
HOST_ARGS=(blocks=195)  # (300000 - 100000) / 1024
zrecv "recv sz -r onto a partial file of its bytes" "$(winpath "$OUT/r")" "-r" z300000.bin
arrived "recv sz -r onto a partial file of its bytes" "$SRC" "$OUT/r" z300000.bin
{ head -c 99999 "$SRC/z300000.bin"; printf 'X'; } >"$OUT/r/z300000.bin"
HOST_ARGS=(blocks=292)  # 300000 / 1024: all of it
zrecv "recv sz -r onto a partial file of other bytes" "$(winpath "$OUT/r")" "-r" z300000.bin
arrived "recv sz -r onto a partial file of other bytes" "$SRC" "$OUT/r" z300000.bin
HOST_ARGS=()

# ---- names that try to leave the folder ---------------------------------------
rm -rf "$OUT/h" && mkdir -p "$OUT/h"
rm -rf "$PEER_DIR" && mkdir -p "$PEER_DIR"
for f in CON 'a:b' 'C:\x' 'nul.txt'; do printf '%s\n' "$f" >"$PEER_DIR/$f"; done
PEER_CMD=(sz CON 'a:b' 'C:\x' 'nul.txt')
peer_start
host "hostile names" recv file="$(winpath "$OUT/h")" proto=6
peer_wait 30; check "hostile names: sz ends with success" test $? -eq 0
peer_kill
check "hostile names: only mapped names in the folder ($(ls "$OUT/h" | tr '\n' ' '))" \
  test "$(ls "$OUT/h" | LC_ALL=C sort | tr '\n' ' ')" = "_CON _nul.txt a_b x "
check "hostile names: nothing outside the folder" \
  test -z "$(find "$WORK" -maxdepth 2 \( -name x -o -iname con -o -name 'a:b' \) -not -path "$PEER_DIR/*")"
finish
