#!/usr/bin/env bash
# Receiving through the registered control in a C++ host that never activates
# it, over a plain pty (no modem emulation: the watch thread's fallback for
# ports that cannot wait for events, and the control's hidden window).
# recv_events.exe prints "READY <step>"; this script, the far end, answers each
# with that step's bytes. Every wait is bounded (read -t, the Wine time limit).
. "$(dirname "$0")/lib.sh"
need_ocx
start_bridge L || { fail "bridge starts"; finish; }
setup_prefix "COM4=$L_PORT" || { fail "prefix set up"; finish; }
check "module registers" register_ocx

pattern="$WORK/burst.bin"
fifo="$WORK/host.fifo"
log_file="$WORK/host.log"
mkfifo "$fifo"
QLR_WINE_TIMEOUT=240 wine_run "$BIN/recv_events.exe" 4 "$(winpath "$pattern")" >"$fifo" 2>"$WORK/host.err" &
host=$!
CLEANUP_PIDS+=("$host")

every_byte() {  # 00..FF
  local i
  for i in $(seq 0 255); do printf "\\x$(printf %02x "$i")"; done
}

steps=""
while IFS= read -r -t 120 line; do
  line="${line%$'\r'}"
  echo "$line" | tee -a "$log_file"
  case "$line" in
    "READY bytes") every_byte >"$L_PEER" ;;
    "READY unicode") printf '\x42\x30' >"$L_PEER" ;;
    "READY asstring") printf 'ab\x00\xe9\x7f\r\nz' >"$L_PEER" ;;
    "READY binary") printf '\x01\x00\xfe\xff\x41\x0a' >"$L_PEER" ;;
    "READY none-string" | "READY none-binary") printf 'silent' >"$L_PEER" ;;
    "READY burst")
      # In the background, so that this loop goes on reading the host.
      if [ -s "$pattern" ]; then timeout 120 head -c 65536 "$pattern" >"$L_PEER" &
        CLEANUP_PIDS+=("$!"); else echo "no pattern file"; fi ;;
  esac
  case "$line" in READY*) steps="$steps ${line#READY }" ;; esac
done <"$fifo"
wait "$host"
st=$?
check "every step asked for its bytes (got:$steps)" \
  test "$steps" = " bytes unicode asstring binary none-string none-binary burst"
check "recv_events.exe printed its summary" grep -q '^recv_events: [0-9]* passed, 0 failed' "$log_file"
check "recv_events.exe passed every check (status $st)" test "$st" -eq 0
[ -s "$WORK/host.err" ] && sed 's/^/stderr: /' "$WORK/host.err" | head -20
finish
