#!/usr/bin/env bash
# Network ports where the reruns of the other tests (QLR_NET_PEER) do not
# reach: the far end's speed follows QcBaudRate through ser2net and through
# pyserial's server; a server killed mid-session is one CommError 130 within
# 2 s, and the port closes and opens again; connections that fail or a server
# that refuses the COM-PORT-OPTION fail OpenComm with 100 and the system's
# error, in bounded time; loop:// in the registered control.
. "$(dirname "$0")/lib.sh"
need_ocx
start_bridge L || { fail "bridge starts"; finish; }
setup_prefix "COM4=$L_PORT" || { fail "prefix set up"; finish; }
check "module registers" register_ocx
HS="$WORK/handshake"

await() {
  local i
  for i in $(seq 1 600); do [ -e "$HS/$1.done" ] && return 0; sleep 0.05; done
  return 1
}
ack() { : > "$HS/$1.ack"; }
# The far end's speed reaches SPEED (the server applies it soon after the open).
speed_is() {
  local i
  for i in $(seq 1 40); do [ "$(stty -F "$L_PORT" speed 2>/dev/null)" = "$1" ] && return 0; sleep 0.05; done
  return 1
}

for peer in ser2net pyserial; do
  rm -rf "$HS"; mkdir -p "$HS"
  QLR_NET_PEER=$peer net_front "$L_PORT" || { fail "$peer starts"; continue; }
  wine_run "$BIN/net_host.exe" session "$QLR_PORT_NAME" "$(winpath "$HS")" >"$WORK/session-$peer.log" 2>&1 &
  host=$!
  CLEANUP_PIDS+=("$host")
  check "$peer: the host opened the port" await open
  check "$peer: the far end runs at QcBaudRate's 57600" speed_is 57600
  kill "$NET_SERVER_PID"; wait "$NET_SERVER_PID" 2>/dev/null
  ack open
  await closed || fail "$peer: the host closed the port"
  QLR_NET_PEER=$peer net_front "$L_PORT" "$NET_TCP_PORT" || fail "$peer starts again"
  ack closed
  wait "$host"
  st=$?
  cat "$WORK/session-$peer.log"
  check "$peer: the session's checks pass (status $st)" test "$st" -eq 0
  kill "$NET_SERVER_PID" 2>/dev/null; wait "$NET_SERVER_PID" 2>/dev/null
done

# Failing connections: nothing listening, a name that does not resolve, a
# server that never answers, one that refuses the COM-PORT-OPTION.
free="$(net_free_port)"
run_host refused ' passed, 0 failed' "$BIN/net_host.exe" open "rfc2217://127.0.0.1:$free" 10061
run_host unresolved ' passed, 0 failed' "$BIN/net_host.exe" open "socket://no-such-host.invalid:7" 0
silent="$(net_free_port)"
socat "TCP-LISTEN:$silent,bind=127.0.0.1,reuseaddr" SYSTEM:"sleep 30" >/dev/null 2>&1 &
CLEANUP_PIDS+=("$!")
refusing="$(net_free_port)"
printf '%s\n' "printf '\\377\\376\\054'" 'sleep 30' >"$WORK/refuse.sh"  # IAC DONT COM-PORT-OPTION
socat "TCP-LISTEN:$refusing,bind=127.0.0.1,reuseaddr" SYSTEM:"sh $WORK/refuse.sh" >/dev/null 2>&1 &
CLEANUP_PIDS+=("$!")
for i in $(seq 1 100); do net_listening "$silent" && net_listening "$refusing" && break; sleep 0.05; done
run_host silent ' passed, 0 failed' "$BIN/net_host.exe" open "rfc2217://127.0.0.1:$silent" 10060
run_host refusing ' passed, 0 failed' "$BIN/net_host.exe" open "rfc2217://127.0.0.1:$refusing" 50

run_host loop ' passed, 0 failed' "$BIN/net_host.exe" loop
finish
