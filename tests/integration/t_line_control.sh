#!/usr/bin/env bash
# Break, DTR, RTS and the modem lines through the registered control over the
# virtual null-modem cable, and modem-line changes reaching a C++ host as
# CommNotify events, and an adapter pulled out and plugged in again (130).
. "$(dirname "$0")/lib.sh"
need_ocx
start_nullmodem A || { fail "bridge with line state starts"; finish; }
setup_prefix "COM6=$A_PORT" || { fail "prefix set up"; finish; }
check "module registers" register_ocx
HS="$WORK/handshake"
rm -rf "$HS"; mkdir -p "$HS"

# await STEP: the host finished STEP (bounded).
await() {
  local i
  for i in $(seq 1 400); do [ -e "$HS/$1.done" ] && return 0; sleep 0.05; done
  return 1
}
ack() { : > "$HS/$1.ack"; }
peer_sees() { [ "$(nmctl A get "$1")" = "$2" ]; }

nm_wine -t 90 "$BIN/line_host.exe" 6 "$(winpath "$HS")" > "$WORK/host.log" 2>&1 &
host=$!
CLEANUP_PIDS+=("$host")

check "host opened the port" await open
check "peer sees DTR on after OpenComm" peer_sees dtr on
check "peer sees RTS on after OpenComm" peer_sees rts on
ack open
check "host lowered DTR" await clrdtr
check "peer sees DTR off after ClearDTR" peer_sees dtr off
ack clrdtr
check "host lowered RTS" await clrrts
check "peer sees DTR on again after SetDTR" peer_sees dtr on
check "peer sees RTS off after ClearRTS" peer_sees rts off
ack clrrts
check "host set break" await break
check "peer sees RTS on again after SetRTS" peer_sees rts on
check "peer sees the break" peer_sees break on
ack break
check "host cleared break" await nobreak
check "peer sees the break end" peer_sees break off
nmctl A set cts on && nmctl A set dsr on
ack nobreak
check "host read the modem lines" await ring
nmctl A set ri on
ack ring
check "host got the ring" await carrier
nmctl A set dcd on
ack carrier
check "host closed the port" await closed
check "peer sees DTR off after CloseComm" peer_sees dtr off
ack closed
check "host opened the port again" await plugged
nmctl A set gone on
ack plugged
check "host closed the port of the unplugged device" await unplugged
nmctl A set gone off
ack unplugged
wait "$host"
st=$?
tr -d '\r' < "$WORK/host.log" | sed 's/^/  host: /'
check "the host saw what it expected (status $st)" test "$st" -eq 0
check "the host reported every observation" test "$(grep -c '=' "$WORK/host.log")" -eq 22
finish
