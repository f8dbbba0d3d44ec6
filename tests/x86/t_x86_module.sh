#!/usr/bin/env bash
# The 32-bit tier: the x86 module executed by a 32-bit Wine (an i386 chroot
# under qemu-user, tools/x86-chroot.sh). With the module and the 32-bit test
# programs of the x86 build it
#   - creates a 32-bit prefix with COM1..COM20 mapped before any program runs,
#   - registers the module with the 32-bit regsvr32 and checks the classes,
#     ProgIDs and the type library's win32 registration (regcheck.exe),
#   - creates the control from the 32-bit script host, reads and sets its
#     properties (tests/integration/vbs/properties.vbs),
#   - opens a COM port on a pty bridge and exchanges a line each way with the
#     far end (line.vbs),
#   - runs one small XModem transfer each way against lrzsz (xmodem_host.exe).
# The binfmt entry and the chroot's mounts are undone at the end, also when a
# step fails or the run is interrupted.
#
#   tests/x86/t_x86_module.sh [--build-x86 DIR] [--build-x64 DIR]
# Exit status 0 when every check passed. Prints the time of each phase.
set -uo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
B86="$ROOT/build-x86"
B64="$ROOT/build-x64"
while [ $# -gt 0 ]; do
  case "$1" in
    --build-x86) B86="$(realpath -m "$2")"; shift 2 ;;
    --build-x64) B64="$(realpath -m "$2")"; shift 2 ;;
    *) sed -n '2,17p' "${BASH_SOURCE[0]}"; exit 2 ;;
  esac
done
QLR32_CHROOT="$B86/i386-chroot"
# shellcheck source=../../tools/x86-chroot.sh
. "$ROOT/tools/x86-chroot.sh"
# The port checks run on the host (a link's target reads the same from both
# sides); under emulation every process of the chroot costs a second or more.
# shellcheck source=../../tools/wine-prefix.sh
. "$ROOT/tools/wine-prefix.sh"

OK=0
FAILED=0
pass() { OK=$((OK + 1)); echo "ok   $*"; }
fail() { FAILED=$((FAILED + 1)); echo "FAIL $*"; }
check() { local what="$1"; shift; if "$@"; then pass "$what"; else fail "$what"; fi; }
log() { echo "[x86] $*"; }
T_START=$SECONDS
phase() { log "$1: $((SECONDS - T_PHASE)) s"; T_PHASE=$SECONDS; }
T_PHASE=$SECONDS

WORK="$B86/x86-tier"          # host side of the far end: bridge info, peer files
C=""                          # the chroot, once entered
declare -a PIDS=()

finish() {
  echo "[x86] $OK passed, $FAILED failed (total $((SECONDS - T_START)) s)"
  [ "$FAILED" -eq 0 ] && [ "$OK" -gt 0 ]
  exit $?
}

cleanup() {
  local pid
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null; done
  if [ -n "$C" ] && qlr32_mounted "$C/proc"; then
    in32 -t 30 qlr_server_stop /qlr/prefix >/dev/null 2>&1
  fi
  qlr32_leave || echo "[x86] undoing the binfmt entry or the mounts failed" >&2
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# in32 [-t SECONDS] FUNCTION-OR-PROGRAM ARGS...: runs inside the chroot with
# tools/wine-prefix.sh sourced, the 32-bit prefix as WINEPREFIX.
in32() {
  local t=300
  if [ "$1" = "-t" ]; then t="$2"; shift 2; fi
  timeout -k 10 "$t" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root TERM=dumb \
      WINEARCH=win32 QLR_BUILD_DIR=/qlr QLR_WINE_TIMEOUT=120 \
    chroot "$C" /bin/bash -c '. /qlr/wine-prefix.sh; qlr_wine_env 1252; export WINEPREFIX=/qlr/prefix; "$@"' in32 "$@"
}

# w32 SECONDS PROGRAM ARGS...: a 32-bit Wine program in the prefix, after the
# port links were checked against the mapping.
w32() {
  local t="$1"; shift
  qlr_ports_check "$C/qlr/prefix" || { echo "[x86] port links differ from the mapping" >&2; return 1; }
  in32 -t $((t + 15)) timeout -k 5 "$t" wine "$@" </dev/null
}

for f in "$B86/qlrcom32.ocx" "$B86/qlrshm32.dll" "$B86/tests/integration/regcheck.exe" \
         "$B86/tests/integration/xmodem_host.exe"; do
  [ -f "$f" ] || { echo "[x86] missing $f (build the x86 tree with tests first)"; exit 1; }
done
command -v sx >/dev/null && command -v rx >/dev/null || { echo "[x86] lrzsz (sx, rx) missing"; exit 1; }

# A kernel without binfmt_misc cannot hand i386 programs to qemu: the tier
# cannot run on such a machine, which is said, not reported as a failure.
grep -qw binfmt_misc /proc/filesystems || modprobe binfmt_misc 2>/dev/null
if ! grep -qw binfmt_misc /proc/filesystems; then
  echo "[x86] SKIPPED: this kernel has no binfmt_misc, so no 32-bit program can run here"
  exit 0
fi

log "setting up the 32-bit Wine (first run: several minutes; then cached in $QLR32_CHROOT)"
qlr32_enter "$QLR32_CHROOT" || { fail "32-bit chroot ready"; finish; }
C="$QLR32_CHROOT"
pass "32-bit chroot ready, qemu-i386 registered"
phase "setup"

# ---- the files, inside the chroot ----------------------------------------
rm -rf "$C/qlr" "$WORK"
mkdir -p "$C/qlr/bin" "$C/qlr/peer" "$C/qlr/out" "$WORK"
cp "$B86/qlrcom32.ocx" "$B86/qlrshm32.dll" "$B86/tests/integration/regcheck.exe" \
   "$B86/tests/integration/xmodem_host.exe" "$ROOT/tests/integration/vbs/properties.vbs" \
   "$HERE/line.vbs" "$C/qlr/bin/"
cp "$ROOT/tools/wine-prefix.sh" "$C/qlr/"

# ---- the line: a pty bridge on the host, its port end mapped as COM4 -------
PTYBRIDGE="$B64/tools/ptybridge"
if ! [ -x "$PTYBRIDGE" ] || [ "$ROOT/tools/ptybridge.c" -nt "$PTYBRIDGE" ]; then
  PTYBRIDGE="$WORK/ptybridge"
  cc -std=c11 -O2 -Wall -Wextra -Werror -o "$PTYBRIDGE" "$ROOT/tools/ptybridge.c" || { fail "ptybridge builds"; finish; }
fi
"$PTYBRIDGE" -o "$WORK/bridge.info" -t 900 >/dev/null 2>"$WORK/bridge.log" &
PIDS+=("$!")
for _ in $(seq 1 100); do [ -s "$WORK/bridge.info" ] && break; sleep 0.05; done
PORT="$(sed -n 's/^PORT=//p' "$WORK/bridge.info" 2>/dev/null)"
PEER="$(sed -n 's/^PEER=//p' "$WORK/bridge.info" 2>/dev/null)"
[ -n "$PORT" ] && [ -e "$C$PORT" ] || { fail "pty bridge visible in the chroot ($PORT)"; finish; }

# ---- the 32-bit prefix: ports mapped before its first program ---------------
# Made once (wineboot with the mount manager off, every port mapped to a
# folder) and kept in the chroot; each run works in a copy.
if ! [ -f "$C/qlr-prefix/.qlr-prefix" ]; then
  in32 -t 900 qlr_prefix_create /qlr-prefix >"$WORK/prefix.log" 2>&1
fi
[ -f "$C/qlr-prefix/.qlr-prefix" ] && qlr_prefix_clone "$C/qlr-prefix" "$C/qlr/prefix" >>"$WORK/prefix.log" 2>&1
check "32-bit prefix ready, COM1..COM20 mapped" test -f "$C/qlr/prefix/.qlr-prefix"
check "the prefix is a 32-bit one" grep -q '^#arch=win32' "$C/qlr/prefix/system.reg"
in32 -t 60 qlr_ports_map /qlr/prefix "COM4=$PORT" >>"$WORK/prefix.log" 2>&1
in32 -t 120 qlr_server_start /qlr/prefix >>"$WORK/prefix.log" 2>&1
check "COM4 is the bridge, every other port unusable" qlr_ports_check "$C/qlr/prefix"
phase "prefix"

# ---- registration ----------------------------------------------------------
OCXW='Z:\qlr\bin\qlrcom32.ocx'
check "regsvr32 (32-bit) registers the module" w32 120 regsvr32 /s "$OCXW"
w32 120 'Z:\qlr\bin\regcheck.exe' registered "$OCXW" >"$WORK/regcheck.log" 2>&1
st=$?
sed 's/^/    /' "$WORK/regcheck.log" | tr -d '\r' | grep -v '^    ok' || true
check "regcheck: classes, ProgIDs and type library registered (status $st)" \
  test "$st" -eq 0 -a "$(grep -c '^ok' "$WORK/regcheck.log")" -gt 5
check "type library registered for 32-bit clients (its win32 key names the module)" \
  grep -qi '^ok .*\\1\.0\\409\\win32 (default): "Z:\\qlr\\bin\\qlrcom32\.ocx"' "$WORK/regcheck.log"
phase "registration"

# ---- the script host: properties ---------------------------------------------
w32 180 cscript //nologo 'Z:\qlr\bin\properties.vbs' >"$WORK/properties.log" 2>&1
st=$?
grep '^FAIL' "$WORK/properties.log" | tr -d '\r' | sed 's/^/    /'
check "properties.vbs from the 32-bit script host (status $st, $(grep -c '^ok' "$WORK/properties.log") checks)" \
  grep -q '^83 passed, 0 failed' "$WORK/properties.log"
phase "properties"

# ---- a line each way on COM4 -----------------------------------------------
OUT_LINE="from the x86 module"
IN_LINE="from the far end"
# The far end reads our line, then answers with its own.
( timeout 120 head -c $(( ${#OUT_LINE} + 2 )) "$PEER" >"$WORK/peer-got.txt"
  printf '%s\r\n' "$IN_LINE" >"$PEER" ) &
FAR=$!
PIDS+=("$FAR")
w32 180 cscript //nologo 'Z:\qlr\bin\line.vbs' 3 "$OUT_LINE" "$IN_LINE" >"$WORK/line.log" 2>&1
st=$?
wait "$FAR"
tr -d '\r' <"$WORK/line.log" | sed 's/^/    /'
check "line.vbs: open, send, receive, close (status $st)" grep -q '^7 passed, 0 failed' "$WORK/line.log"
printf '%s\r\n' "$OUT_LINE" >"$WORK/peer-want.txt"
check "the far end got the control's line and CR LF" cmp -s "$WORK/peer-want.txt" "$WORK/peer-got.txt"
phase "line"

# ---- XModem, one small transfer each way ---------------------------------------
# xmodem_host prints "READY start" when the far end may start; its summary
# line and exit status tell its own checks.
PEER_DIR="$C/qlr/peer"
perl -e 'srand(7); print pack("C*", map { int(rand(256)) } 1 .. 3000), "end"' >"$WORK/send.bin"
perl -e 'srand(8); print pack("C*", map { int(rand(256)) } 1 .. 2500), "end"' >"$PEER_DIR/recv-src.bin"
cp "$WORK/send.bin" "$C/qlr/out/send.bin"

# xm_case LABEL now|ready PEER-COMMAND... -- HOST-ARGS...: the host in the
# chroot, the peer (lrzsz) on the host, started at once or when the host is
# ready for it, its standard input through a pipe (lrzsz flushes a terminal
# at exit, which on a pty drops its last ACK).
xm_case() {
  local label="$1" when="$2"; shift 2
  local -a peer=() args=()
  while [ "$1" != "--" ]; do peer+=("$1"); shift; done; shift
  args=("$@")
  local fifo="$WORK/xm.out" line st ppid="" fpid=""
  rm -f "$fifo" "$WORK/peer.in"; mkfifo "$fifo" "$WORK/peer.in"
  peer_go() {
    cat "$PEER" >"$WORK/peer.in" & fpid=$!
    (cd "$PEER_DIR" && exec timeout 200 "${peer[@]}" <"$WORK/peer.in" >"$PEER" 2>>"$WORK/$label.peer.log") &
    ppid=$!
    PIDS+=("$fpid" "$ppid")
  }
  [ "$when" = now ] && peer_go
  w32 240 'Z:\qlr\bin\xmodem_host.exe' "${args[@]}" >"$fifo" 2>"$WORK/$label.err" &
  local hpid=$!
  while IFS= read -r -t 250 line; do
    line="${line%$'\r'}"
    echo "$line" >>"$WORK/$label.log"
    if [ "$line" = "READY start" ] && [ -z "$ppid" ]; then peer_go; fi
  done <"$fifo"
  wait "$hpid"; st=$?
  local pst=1
  if [ -n "$ppid" ]; then
    for _ in $(seq 1 200); do kill -0 "$ppid" 2>/dev/null || break; sleep 0.1; done
    wait "$ppid"; pst=$?
    kill "$fpid" 2>/dev/null; wait "$fpid" 2>/dev/null
  fi
  grep -E '^FAIL' "$WORK/$label.log" | sed 's/^/    /'
  check "$label: xmodem_host checks (status $st)" grep -q '^xmodem_host: [0-9]* passed, 0 failed' "$WORK/$label.log"
  check "$label: lrzsz ends with success (status $pst)" test "$pst" -eq 0
}

# Our sender, 1K blocks with CRC, to rx -c.
xm_case send ready rx -X -c got.bin -- send 4 'file=Z:\qlr\out\send.bin' proto=3 blocks=3
{ cat "$WORK/send.bin"; head -c $(( 3072 - 3003 )) /dev/zero | tr '\0' '\032'; } >"$WORK/send.padded"
check "send: rx received the file (SUB-padded to whole blocks)" cmp -s "$WORK/send.padded" "$PEER_DIR/got.bin"

# sx -k to our receiver (XModemAuto); trailing SUB padding removed.
xm_case recv now sx -X -k recv-src.bin -- recv 4 'file=Z:\qlr\out\recv.bin' proto=0
check "recv: the control received the file" cmp -s "$PEER_DIR/recv-src.bin" "$C/qlr/out/recv.bin"
phase "xmodem"

w32 120 regsvr32 /u /s "$OCXW"
check "regsvr32 /u (32-bit) unregisters the module" test $? -eq 0
finish
