#!/usr/bin/env bash
# The virtual null-modem cable: a COM port on a pty bridge with shared line
# state (ptybridge -m), driven by plain Win32 calls in a Wine process that has
# tools/nullmodem/nmshim.so preloaded, and the far end played by
# `ptybridge ctl`. DTR/RTS from EscapeCommFunction and SetCommState reach the
# peer; the peer's CTS/DSR/DCD/RI show in GetCommModemStatus and end an
# overlapped WaitCommEvent; SetCommBreak reaches the peer; injected breaks and
# framing errors raise EV_BREAK/EV_ERR. Every step opens and closes the port
# again, and bytes still flow both ways afterwards.
. "$(dirname "$0")/lib.sh"

NMTOOL="$BIN/nmtool.exe"
PORTTOOL="$BIN/porttool.exe"
[ -f "$NMTOOL" ] || skip "nmtool.exe not built"

start_nullmodem A || { fail "bridge A with line state starts"; finish; }
setup_prefix "COM4=$A_PORT" || { fail "prefix set up"; finish; }
pass "prefix with COM4 -> $A_PORT, line state $A_STATE"
export QLR_NULLMODEM_LOG="$WORK/shim.log"

nmtool() { nm_wine -t 30 "$NMTOOL" "$@" | tr -d '\r'; return "${PIPESTATUS[0]}"; }

# output_is EXPECTED COMMAND...: COMMAND succeeds and prints exactly EXPECTED.
output_is() {
  local want="$1" got st; shift
  got="$("$@")"; st=$?
  [ "$st" -eq 0 ] && [ "$got" = "$want" ] && return 0
  echo "  got '$got' (status $st), expected '$want'" >&2
  return 1
}

peer_sees() { output_is "$2" nmctl A get "$1"; }

# Without the shim the pty has no modem lines (Wine fails with error 50).
if wine_run -t 30 "$NMTOOL" status COM4 >/dev/null 2>&1; then
  fail "without the shim GetCommModemStatus fails"
else
  pass "without the shim GetCommModemStatus fails"
fi

# DTR and RTS from the port, one open/close per call.
check "EscapeCommFunction SETDTR" nmtool escape COM4 setdtr
check "peer sees DTR on" peer_sees dtr on
check "EscapeCommFunction SETRTS" nmtool escape COM4 setrts
check "peer sees RTS on" peer_sees rts on
check "EscapeCommFunction CLRDTR" nmtool escape COM4 clrdtr
check "peer sees DTR off" peer_sees dtr off
check "peer still sees RTS on" peer_sees rts on
check "EscapeCommFunction CLRRTS" nmtool escape COM4 clrrts
check "peer sees RTS off" peer_sees rts off
check "SetCommState with DTR and RTS enabled" nmtool dcb COM4 on on
check "peer sees DTR on after SetCommState" peer_sees dtr on
check "peer sees RTS on after SetCommState" peer_sees rts on
check "SetCommState with DTR and RTS disabled" nmtool dcb COM4 off off
check "peer sees DTR and RTS off after SetCommState" \
  bash -c '[ "$("$0" ctl "$1" get dtr)$("$0" ctl "$1" get rts)" = offoff ]' "$PTYBRIDGE" "$A_STATE"

# Lines driven by the peer, read with GetCommModemStatus.
check "all input lines off at first" output_is "CTS=off DSR=off RLSD=off RING=off" nmtool status COM4
nmctl A set cts on
check "peer's CTS shows" output_is "CTS=on DSR=off RLSD=off RING=off" nmtool status COM4
nmctl A set dsr on
check "peer's DSR shows" output_is "CTS=on DSR=on RLSD=off RING=off" nmtool status COM4
nmctl A set dcd on
check "peer's DCD shows as RLSD" output_is "CTS=on DSR=on RLSD=on RING=off" nmtool status COM4
nmctl A set ri on
check "peer's RI shows as RING" output_is "CTS=on DSR=on RLSD=on RING=on" nmtool status COM4
nmctl A set cts off; nmctl A set dsr off; nmctl A set dcd off; nmctl A set ri off
check "all input lines off again" output_is "CTS=off DSR=off RLSD=off RING=off" nmtool status COM4

# wait_event N EVENTS EXPECTED COMMAND...: an overlapped WaitCommEvent for
# EVENTS is pending, then the peer runs COMMAND; the wait must report EXPECTED.
wait_event() {
  local n="$1" events="$2" want="$3"; shift 3
  local ready="$WORK/ready-$n" out="$WORK/wait-$n.out" pid st
  rm -f "$ready"
  nmtool wait COM4 "$events" 10000 "$(winpath "$ready")" >"$out" 2>"$WORK/wait-$n.err" &
  pid=$!
  if ! wait_size "$ready" 0 20; then
    kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
    echo "  the wait never became pending: $(cat "$WORK/wait-$n.err" "$out")" >&2
    return 1
  fi
  "$@" || { wait "$pid"; return 1; }
  wait "$pid"; st=$?
  # 137 after the whole result line: Wine's server killed the tool in its exit (qlr_wine).
  if [ "$st" -eq 0 ] || [ "$st" -eq 137 ]; then
    [ "$(cat "$out")" = "events: $want" ] && return 0
  fi
  echo "  got '$(cat "$out")' (status $st, $(cat "$WORK/wait-$n.err")), expected 'events: $want'" >&2
  return 1
}

LINES=cts,dsr,rlsd,ring
check "WaitCommEvent ends on the peer raising CTS" wait_event 1 $LINES CTS nmctl A set cts on
check "WaitCommEvent ends on the peer raising DSR" wait_event 2 $LINES DSR nmctl A set dsr on
check "WaitCommEvent ends on the peer raising DCD" wait_event 3 $LINES RLSD nmctl A set dcd on
check "WaitCommEvent ends on the peer raising RI" wait_event 4 $LINES RING nmctl A set ri on
check "WaitCommEvent ends on the peer dropping CTS" wait_event 5 $LINES CTS nmctl A set cts off
check "WaitCommEvent ends on the peer dropping DTR (DSR and DCD)" wait_event 6 $LINES "DSR RLSD" nmctl A set dtr off
check "WaitCommEvent ends on the peer dropping RI" wait_event 7 $LINES RING nmctl A set ri off

# A change outside the mask does not end the wait: DSR rises while the wait
# for CTS is pending, and only after Wine has read the modem lines again
# (two more TIOCMGET in the shim's log) does CTS rise.
dsr_then_cts() {
  local before i
  before="$(grep -c '^TIOCMGET' "$QLR_NULLMODEM_LOG")"
  nmctl A set dsr on || return 1
  for i in $(seq 1 200); do
    [ "$(grep -c '^TIOCMGET' "$QLR_NULLMODEM_LOG")" -ge $((before + 2)) ] && break
    sleep 0.025
  done
  [ "$(grep -c '^TIOCMGET' "$QLR_NULLMODEM_LOG")" -ge $((before + 2)) ] || {
    echo "  Wine did not read the modem lines again after DSR rose" >&2; return 1; }
  nmctl A set cts on
}
check "WaitCommEvent for CTS ignores DSR and ends on CTS" wait_event 12 cts CTS dsr_then_cts
nmctl A set dsr off; nmctl A set cts off

# Break from the port.
check "SetCommBreak" nmtool break COM4 on
check "peer sees break on" peer_sees break on
check "ClearCommBreak" nmtool break COM4 off
check "peer sees break off" peer_sees break off
check "EscapeCommFunction SETBREAK" nmtool escape COM4 setbreak
check "peer sees break on after SETBREAK" peer_sees break on
check "EscapeCommFunction CLRBREAK" nmtool escape COM4 clrbreak
check "peer sees break off after CLRBREAK" peer_sees break off

# Break and line errors injected by the peer.
check "WaitCommEvent EV_BREAK on an injected break" wait_event 8 break,err BREAK nmctl A inject break 1
check "WaitCommEvent EV_ERR on an injected framing error" wait_event 9 break,err ERR nmctl A inject frame 1
check "WaitCommEvent EV_ERR on an injected parity error" wait_event 10 err ERR nmctl A inject parity 1
check "WaitCommEvent EV_ERR on an injected overrun" wait_event 11 err ERR nmctl A inject overrun 2
# Wine 8 reports no CE_ flags at all (its IOCTL_SERIAL_GET_COMMSTATUS leaves
# Errors 0), so the injected errors are visible as EV_ERR only; the flags
# ClearCommError returns are logged for the day Wine reports them.
nmtool errors COM4 > "$WORK/errors.out"
check "ClearCommError succeeds after the injected errors (status $?)" grep -q '^errors: ' "$WORK/errors.out"
cat "$WORK/errors.out"

check "the Wine process called the shim (TIOCMGET, TIOCMSET, TIOCSBRK, TIOCGICOUNT)" \
  bash -c 'for r in TIOCMGET TIOCMSET TIOCSBRK TIOCGICOUNT; do grep -q "^$r end 0" "$0" || exit 1; done' "$WORK/shim.log"

# Bytes still flow both ways on the reopened port, with the shim loaded.
timeout 30 head -c 5 "$A_PEER" > "$WORK/peer.bin" &
CLEANUP_PIDS+=("$!")
check "porttool sends through the port" nm_wine "$PORTTOOL" send COM4 hello
check "peer received the bytes" wait_size "$WORK/peer.bin" 5 10
check "peer's bytes are unchanged" test "$(cat "$WORK/peer.bin")" = hello
( printf 'world' > "$A_PEER" ) &
CLEANUP_PIDS+=("$!")
nm_wine "$PORTTOOL" recv COM4 5 5000 | tr -d '\r' > "$WORK/recv.out"
check "porttool receives the peer's bytes" grep -qx world "$WORK/recv.out"
nmctl A show > "$WORK/state.txt"
check "the bridge counted the port's transmitted bytes" grep -q ' tx=5 ' "$WORK/state.txt"
finish
