#!/usr/bin/env bash
# The control in Wine's ATL host window (atl_host.cpp): created from its
# ProgID, activated in place with a window of its own; with saved settings
# that set QcAutoOpen it opens its port at activation and closes it when the
# host window is destroyed, which the far end of the null-modem cable sees as
# DTR rising and falling.
. "$(dirname "$0")/lib.sh"
need_ocx
[ -f "$BIN/atl_host.exe" ] || skip "atl_host.exe not built"
start_nullmodem A || { fail "bridge with line state starts"; finish; }
setup_prefix "COM8=$A_PORT" || { fail "prefix set up"; finish; }
check "module registers" register_ocx
HS="$WORK/handshake"
rm -rf "$HS"; mkdir -p "$HS"
await() {  # the host finished step $1 (bounded)
  local i
  for i in $(seq 1 400); do [ -e "$HS/$1.done" ] && return 0; sleep 0.05; done
  return 1
}
check "DTR is off before the host starts" test "$(nmctl A get dtr)" = off
nm_wine -t 90 "$BIN/atl_host.exe" 7 "$(winpath "$HS")" > "$WORK/host.log" 2>&1 &
host=$!
CLEANUP_PIDS+=("$host")
check "the host activated the control with its settings" await open
check "the far end sees DTR on: the port is open" test "$(nmctl A get dtr)" = on
: > "$HS/open.ack"
check "the host destroyed its window" await closed
check "the far end sees DTR off: the port was closed" test "$(nmctl A get dtr)" = off
: > "$HS/closed.ack"
wait "$host"
st=$?
tr -d '\r' < "$WORK/host.log" | sed 's/^/  host: /'
check "atl_host reports no failure (exit status $st)" test "$st" -eq 0
check "atl_host ran to its summary" grep -q ' passed, 0 failed' "$WORK/host.log"
finish
