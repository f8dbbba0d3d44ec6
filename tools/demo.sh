#!/usr/bin/env bash
# Demonstration on a fresh Debian machine: builds qlrcom32.ocx, registers it in
# a private Wine prefix, lists the serial ports, creates the control from a
# script, prints its properties, and opens and closes a virtual serial line (a
# pty bridge), whose far end shows what the control sent; then a C++ host gets
# a line as an event and sends and receives a file with XModem, lrzsz on the
# far end.
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
BUILD="${QLR_DEMO_BUILD:-$ROOT/build-x64}"
DEMO="$BUILD/demo"

die() { echo "demo.sh: $*" >&2; exit 1; }
step() { echo; echo "==== $*"; }

step "dependencies"
tools/install-deps.sh </dev/null || die "dependencies missing; run tools/install-deps.sh as root"

step "build (log: build-x64/demo-build.log)"
mkdir -p "$BUILD"
# The build may run Wine programs: give it the private prefix and a running server.
. tools/wine-prefix.sh
export QLR_BUILD_DIR="$BUILD"
qlr_wine_env 1252
qlr_prefix_init "$BUILD/wineprefix" || die "creating the Wine prefix failed"
export WINEPREFIX="$BUILD/wineprefix"
qlr_server_start "$WINEPREFIX" || die "starting the wineserver failed"
if ! { cmake -S . -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-x86_64.cmake" \
       && cmake --build "$BUILD" -j "$(nproc)"; } </dev/null >"$BUILD/demo-build.log" 2>&1; then
  tail -30 "$BUILD/demo-build.log"; die "build failed"
fi
echo "built $BUILD/qlrcom32.ocx"

step "virtual serial line"
qlr_server_stop "$DEMO/prefix"
rm -rf "$DEMO"; mkdir -p "$DEMO" "$BUILD/tools"
cc -std=c11 -O2 -Wall -Wextra -Werror -o "$BUILD/tools/ptybridge" tools/ptybridge.c || die "cannot build ptybridge"
# The modem-line shim makes the pty behave like a null-modem cable for Wine.
cc -std=c11 -shared -fPIC -O2 -Wall -Wextra -Werror -o "$BUILD/tools/nmshim.so" tools/nullmodem/nmshim.c -ldl \
  || die "cannot build the null-modem shim"
"$BUILD/tools/ptybridge" -o "$DEMO/bridge.info" -m "$DEMO/line.state" -t 300 >/dev/null 2>"$DEMO/bridge.log" &
BRIDGE=$!
PEER_READER=""
cleanup() {
  [ -n "$PEER_READER" ] && kill "$PEER_READER" 2>/dev/null
  kill "$BRIDGE" 2>/dev/null
  qlr_server_stop "$DEMO/prefix"
}
trap cleanup EXIT
for _ in $(seq 1 100); do [ -s "$DEMO/bridge.info" ] && break; sleep 0.05; done
[ -s "$DEMO/bridge.info" ] || die "the pty bridge did not start"
PORT="$(sed -n 's/^PORT=//p' "$DEMO/bridge.info")"
PEER="$(sed -n 's/^PEER=//p' "$DEMO/bridge.info")"
echo "COM1 <-> $PORT  ==bridge==  $PEER (the far end)"

step "private prefix with COM1 on the bridge, module registered"
qlr_prefix_clone "$BUILD/wineprefix.pristine" "$DEMO/prefix" || die "cloning the prefix failed"
qlr_ports_map "$DEMO/prefix" "COM1=$PORT" || die "mapping COM1 failed"
export WINEPREFIX="$DEMO/prefix"
qlr_server_start "$WINEPREFIX" || die "starting the wineserver failed"
echo "prefix $WINEPREFIX:"
ls -l "$WINEPREFIX/dosdevices/" | grep -E ' com(1|2|10) ' | sed 's/^.* com/  com/'
qlr_wine regsvr32 /s "$(qlr_winpath "$BUILD/qlrcom32.ocx")" || die "regsvr32 failed"
echo "regsvr32 qlrcom32.ocx: ok"

step "which ports does this machine have: wine cscript tools/ports.vbs"
# Wine lists every mapped port: here COM1 to COM20 (unused ones lead nowhere)
# and, from COM21 on, serial devices Wine found by itself (this machine's
# console). Listing opens none of them.
qlr_wine cscript //nologo "$(qlr_winpath "$ROOT/tools/ports.vbs")" || die "listing the ports failed"

step "trace viewer: qlrtrace.exe (window class QLRTRACE), logging to $DEMO/trace.log"
rm -f "$DEMO/trace.log"
qlr_wine -t 120 "$(qlr_winpath "$BUILD/qlrtrace.exe")" /log "$(qlr_winpath "$DEMO/trace.log")" \
  >/dev/null 2>&1 &
for _ in $(seq 1 200); do grep -q 'ready' "$DEMO/trace.log" 2>/dev/null && break; sleep 0.05; done
grep -q 'ready' "$DEMO/trace.log" 2>/dev/null && echo "viewer running" || echo "viewer did not start"

nmctl() { "$BUILD/tools/ptybridge" ctl "$DEMO/line.state" "$@"; }
step "the far end raises CTS and DSR"
nmctl set cts on && nmctl set dsr on && echo "peer: CTS on, DSR on"

step "script host: wine cscript tools/demo.vbs"
timeout 30 cat "$PEER" > "$DEMO/peer.bin" 2>/dev/null &
PEER_READER=$!
LD_PRELOAD="$BUILD/tools/nmshim.so" QLR_NULLMODEM="$DEMO/line.state" \
  qlr_wine cscript //nologo "$(qlr_winpath "$ROOT/tools/demo.vbs")" 0
rc=$?

step "the far end's view of the lines after the session"
echo "  DTR $(nmctl get dtr) (CloseComm lowers it), RTS $(nmctl get rts) (the script's ClearRTS), break $(nmctl get break)"

step "the far end of the line received"
for _ in $(seq 1 20); do [ -s "$DEMO/peer.bin" ] && break; sleep 0.05; done
if [ -s "$DEMO/peer.bin" ]; then
  od -A d -c "$DEMO/peer.bin" | sed 's/^/  /'
else
  echo "  (nothing)"
fi

step "a C++ host gets a received line as an event: event_host.exe"
EVENTS="$DEMO/events.log"
LD_PRELOAD="$BUILD/tools/nmshim.so" QLR_NULLMODEM="$DEMO/line.state" \
  qlr_wine -t 60 "$(qlr_winpath "$BUILD/event_host.exe")" 1 20 > "$EVENTS" 2>&1 &
HOST=$!
for _ in $(seq 1 400); do grep -q READY "$EVENTS" 2>/dev/null && break; sleep 0.05; done
printf 'a line from the far end\r\n' > "$PEER"
wait "$HOST"
host_rc=$?
tr -d '\r' < "$EVENTS" | grep -v READY
[ $host_rc -eq 0 ] || echo "  (no line arrived as an event)"

step "the same far end through ser2net: the control opens an RFC 2217 network port"
if command -v ser2net >/dev/null; then
  NETPORT="$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
  printf 'connection: &line\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%s\n  connector: serialdev,%s,9600n81,local\n  options:\n    chardelay: false\n' \
    "$NETPORT" "$PORT" >"$DEMO/ser2net.yaml"
  LD_PRELOAD="$BUILD/tools/nmshim.so" QLR_NULLMODEM="$DEMO/line.state" \
    ser2net -n -u -c "$DEMO/ser2net.yaml" -P "$DEMO/ser2net.pid" >"$DEMO/ser2net.log" 2>&1 &
  SER2NET=$!
  for _ in $(seq 1 100); do ss -ltnH "sport = :$NETPORT" | grep -q . && break; sleep 0.05; done
  echo "QcPortName = rfc2217://127.0.0.1:$NETPORT (ser2net in front of $PORT, the same far end $PEER)"
  NETEVENTS="$DEMO/net-events.log"
  QLR_NET_COM=1 QLR_PORT_NAME="rfc2217://127.0.0.1:$NETPORT" \
    qlr_wine -t 60 "$(qlr_winpath "$BUILD/event_host.exe")" 1 20 > "$NETEVENTS" 2>&1 &
  HOST=$!
  for _ in $(seq 1 400); do grep -q READY "$NETEVENTS" 2>/dev/null && break; sleep 0.05; done
  printf 'a line through ser2net\r\n' > "$PEER"
  wait "$HOST" || echo "  (no line arrived through ser2net)"
  tr -d '\r' < "$NETEVENTS" | grep -v READY
  kill "$SER2NET" 2>/dev/null; wait "$SER2NET" 2>/dev/null
else
  echo "  (ser2net is not installed: tools/install-deps.sh)"
fi

# XModem over the same line, lrzsz on the far end. Its standard input comes
# through a pipe: lrzsz flushes its input terminal when it exits, and on a pty
# that also discards the last byte it wrote unless the bridge has read it.
[ -n "$PEER_READER" ] && kill "$PEER_READER" 2>/dev/null && wait "$PEER_READER" 2>/dev/null
PEER_READER=""
XDIR="$DEMO/xmodem"
mkdir -p "$XDIR"
head -c 20000 /dev/urandom >"$XDIR/demo.bin"
xm_peer() {  # xm_peer PROGRAM ARGS...: lrzsz on the far end, in $XDIR
  rm -f "$XDIR/feed"; mkfifo "$XDIR/feed"
  cat "$PEER" >"$XDIR/feed" & XFEED=$!
  (cd "$XDIR" && exec timeout 60 "$@" <"$XDIR/feed" >"$PEER" 2>>"$XDIR/lrzsz.log") & XPEER=$!
}
xm_peer_end() { wait "$XPEER"; local st=$?; kill "$XFEED" 2>/dev/null; wait "$XFEED" 2>/dev/null; return $st; }
xm_host() {  # xm_host send|recv FILE LOG: event_host.exe on COM1, in the background
  LD_PRELOAD="$BUILD/tools/nmshim.so" QLR_NULLMODEM="$DEMO/line.state" \
    qlr_wine -t 90 "$(qlr_winpath "$BUILD/event_host.exe")" 1 "$1" "$(qlr_winpath "$2")" >"$3" 2>&1 &
  XHOST=$!
}
xmodem_rc=0

step "XModem: the control sends demo.bin (20000 bytes, 1K blocks, CRC) to lrzsz's rx on the far end"
xm_host send "$XDIR/demo.bin" "$XDIR/send.log"
for _ in $(seq 1 400); do grep -q READY "$XDIR/send.log" 2>/dev/null && break; sleep 0.05; done
xm_peer rx -X -c -q by-rx.bin
wait "$XHOST" || xmodem_rc=1
xm_peer_end || xmodem_rc=1
tr -d '\r' <"$XDIR/send.log" | grep -v READY
if cmp -s -n 20000 "$XDIR/demo.bin" "$XDIR/by-rx.bin"; then
  echo "  rx wrote $(stat -c %s "$XDIR/by-rx.bin") bytes: demo.bin and its padding to whole 1K blocks"
else echo "  rx's file differs"; xmodem_rc=1; fi

step "XModem: lrzsz's sx -k sends demo.bin back, the control receives it (one block per 300 ms)"
xm_peer sx -k -q demo.bin
xm_host recv "$XDIR/by-control.bin" "$XDIR/recv.log"
wait "$XHOST" || xmodem_rc=1
xm_peer_end || xmodem_rc=1
tr -d '\r' <"$XDIR/recv.log" | grep -v READY
if cmp -s "$XDIR/demo.bin" "$XDIR/by-control.bin"; then echo "  the received file is identical to demo.bin"
else echo "  the received file differs"; xmodem_rc=1; fi
[ $rc -eq 0 ] && rc=$xmodem_rc

step "a form in Wine's ATL host: the control opens COM1 by itself, its property page, screenshots"
SHOTS="$DEMO/screenshots"
mkdir -p "$SHOTS"
form_rc=0
LD_PRELOAD="$BUILD/tools/nmshim.so" QLR_NULLMODEM="$DEMO/line.state" \
  qlr_wine -t 60 "$(qlr_winpath "$BUILD/form_host.exe")" 0 "$(qlr_winpath "$SHOTS")" 2>&1 | tr -d '\r' \
  || form_rc=1
for shot in demo_form.png demo_page.png; do
  [ -s "$SHOTS/$shot" ] && echo "  $SHOTS/$shot" || form_rc=1
done
[ $rc -eq 0 ] && rc=$form_rc

step "what the trace viewer showed"
if [ -s "$DEMO/trace.log" ]; then sed 's/^/  /' "$DEMO/trace.log"; else echo "  (nothing)"; fi
echo
if [ $rc -eq 0 ]; then echo "demo: the control opened and closed COM1 on the virtual line, opened the same far end once through ser2net (rfc2217://), moved a file both ways with XModem, and ran on a form with its property page"; else echo "demo: FAILED (status $rc)"; fi
exit $rc
