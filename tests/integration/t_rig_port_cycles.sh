#!/usr/bin/env bash
# A COM port mapped to a pty bridge, driven by plain Win32 calls: 20 open/write/
# close cycles on the same port with every byte arriving at the peer and the
# peer's bytes arriving at the port; \\.\COM10; an unmapped port cannot be
# opened; no port link leads to a real serial device.
. "$(dirname "$0")/lib.sh"

start_bridge A || { fail "bridge A starts"; finish; }
start_bridge B || { fail "bridge B starts"; finish; }
setup_prefix "COM1=$A_PORT" "COM10=$B_PORT" || { fail "prefix set up"; finish; }
pass "prefix with COM1 -> $A_PORT, COM10 -> $B_PORT"

check "no COM link points to a real serial device" \
  bash -c "! find '$WINEPREFIX/dosdevices' -maxdepth 1 -name 'com*' -lname '/dev/tty[SAU]*' | grep -q ."

# Echo peer on COM1: everything that arrives goes back and is recorded.
timeout 60 tee "$WORK/peerA.bin" < "$A_PEER" > "$A_PEER" &
CLEANUP_PIDS+=("$!")
check "20 echo cycles of 1024 bytes on COM1" wine_run "$BIN/porttool.exe" echo-cycles COM1 20 1024
wine_run "$BIN/porttool.exe" pattern 20 1024 "$(winpath "$WORK/expectA.bin")"
check "peer A received all 20 blocks unchanged" cmp "$WORK/expectA.bin" "$WORK/peerA.bin"

# Write-only cycles on COM10, closing right after each write.
timeout 60 cat "$B_PEER" > "$WORK/peerB.bin" &
CLEANUP_PIDS+=("$!")
check "20 write cycles of 700 bytes on \\\\.\\COM10" wine_run "$BIN/porttool.exe" write-cycles COM10 20 700
wine_run "$BIN/porttool.exe" pattern 20 700 "$(winpath "$WORK/expectB.bin")"
check "peer B received all bytes written before each close" \
  wait_size "$WORK/peerB.bin" "$(stat -c %s "$WORK/expectB.bin")" 10
check "peer B's bytes are unchanged" cmp "$WORK/expectB.bin" "$WORK/peerB.bin"

check "unmapped COM2 cannot be opened" wine_run "$BIN/porttool.exe" open-fails COM2
check "unmapped COM11 cannot be opened" wine_run "$BIN/porttool.exe" open-fails COM11
finish
