# Common part of the integration tests; sourced by the t_*.sh scripts.
#
# A test script is called by ctest as
#   bash t_NAME.sh --build BUILD_DIR --bin DIR_WITH_TEST_EXES [--ocx MODULE]
# and gets: its own work directory, its own Wine prefix (a clone of
# BUILD_DIR/wineprefix with every port COM1..COM20 mapped before its wineserver
# starts), pty bridges on request, bounded Wine calls, and check/summary helpers.
# Exit status: 0 all checks passed, 1 a check failed, 77 skipped (prerequisite
# such as the built module missing).

set -uo pipefail

IT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$IT_DIR/../.." && pwd)"
# shellcheck source=../../tools/wine-prefix.sh
. "$ROOT/tools/wine-prefix.sh"

# A prefix inherited from the caller (tools/test.sh exports the unit tests')
# is not ours: a test uses only the one setup_prefix makes, and its clean-up
# stops only that one.
unset WINEPREFIX
OWN_PREFIX=""

TEST_NAME="$(basename "${BASH_SOURCE[1]:-$0}" .sh)"
TEST_NAME="${TEST_NAME#t_}"
# A rerun through a network port (QLR_NET_PEER, below) works apart.
[ -n "${QLR_NET_PEER:-}" ] && TEST_NAME="$TEST_NAME@$QLR_NET_PEER"
BUILD=""
BIN=""
OCX=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build) BUILD="$2"; shift 2 ;;
    --bin) BIN="$2"; shift 2 ;;
    --ocx) OCX="$2"; shift 2 ;;
    *) echo "$TEST_NAME: unknown argument $1" >&2; exit 2 ;;
  esac
done
BUILD="$(realpath -m "${BUILD:-$ROOT/build-x64}")"
BIN="${BIN:-$BUILD/tests/integration}"
WORK="$BUILD/tests/integration/work/$TEST_NAME"
BASE_PREFIX="$BUILD/wineprefix.pristine"
PTYBRIDGE="$BUILD/tools/ptybridge"

CHECKS_OK=0
CHECKS_FAILED=0
declare -a BRIDGE_PIDS=()
declare -a CLEANUP_PIDS=()

log() { echo "[$TEST_NAME] $*"; }

check() {  # check DESCRIPTION COMMAND...: runs COMMAND, counts the result
  local what="$1"; shift
  if "$@"; then
    CHECKS_OK=$((CHECKS_OK + 1)); echo "ok   $what"
  else
    CHECKS_FAILED=$((CHECKS_FAILED + 1)); echo "FAIL $what"
  fi
}

fail() { CHECKS_FAILED=$((CHECKS_FAILED + 1)); echo "FAIL $*"; }
pass() { CHECKS_OK=$((CHECKS_OK + 1)); echo "ok   $*"; }

skip() { echo "[$TEST_NAME] SKIPPED: $*"; exit 77; }

finish() {
  echo "[$TEST_NAME] $CHECKS_OK passed, $CHECKS_FAILED failed"
  if [ "$CHECKS_FAILED" -ne 0 ] && [ -n "${QLR_NET_PEER:-}" ] && [ -s "$WORK/$QLR_NET_PEER.log" ]; then
    tail -n 30 "$WORK/$QLR_NET_PEER.log" | sed "s/^/$QLR_NET_PEER: /"
  fi
  [ "$CHECKS_FAILED" -eq 0 ] && [ "$CHECKS_OK" -gt 0 ]
  exit $?
}

cleanup() {
  local pid
  for pid in "${BRIDGE_PIDS[@]}" "${CLEANUP_PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${BRIDGE_PIDS[@]}" "${CLEANUP_PIDS[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  if [ -n "$OWN_PREFIX" ]; then qlr_server_stop "$OWN_PREFIX"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Builds the native pty bridge into the build tree when missing or stale (it
# includes the null-modem state header), atomically.
build_ptybridge() {
  local src="$ROOT/tools/ptybridge.c" header="$ROOT/tools/nullmodem/nullmodem.h" tmp
  if [ -x "$PTYBRIDGE" ] && [ "$PTYBRIDGE" -nt "$src" ] && [ "$PTYBRIDGE" -nt "$header" ]; then return 0; fi
  mkdir -p "$(dirname "$PTYBRIDGE")"
  tmp="$PTYBRIDGE.$$"
  cc -std=c11 -O2 -Wall -Wextra -Werror -o "$tmp" "$src" && mv -f "$tmp" "$PTYBRIDGE"
}

# launch_bridge NAME [PTYBRIDGE_OPTION...]: starts a bridge (built already);
# sets NAME_PORT and NAME_PEER to the slave paths.
launch_bridge() {
  local name="$1" info="$WORK/bridge-$1.info" i; shift
  rm -f "$info"
  # BRIDGE_NOISE_NAME: the bridge's noise file (a noisy cable).
  local noise="BRIDGE_NOISE_$name"
  "$PTYBRIDGE" -o "$info" "$@" -t "${BRIDGE_LIMIT:-300}" ${!noise:+-n "${!noise}"} \
    >/dev/null 2>"$WORK/bridge-$name.log" &
  BRIDGE_PIDS+=("$!")
  for i in $(seq 1 100); do
    [ -s "$info" ] && break
    kill -0 "$!" 2>/dev/null || break
    sleep 0.05
  done
  [ -s "$info" ] || { echo "ptybridge did not start: $(cat "$WORK/bridge-$name.log")" >&2; return 1; }
  printf -v "${name}_PORT" '%s' "$(sed -n 's/^PORT=//p' "$info")"
  printf -v "${name}_PEER" '%s' "$(sed -n 's/^PEER=//p' "$info")"
}

# start_bridge NAME [PTYBRIDGE_OPTION...]: a plain bridge; sets NAME_PORT and NAME_PEER.
start_bridge() {
  build_ptybridge || { echo "cannot build ptybridge" >&2; return 1; }
  launch_bridge "$@"
}

# setup_prefix [COMn=PATH ...]: own prefix for this test, ports mapped, server up.
setup_prefix() {
  mkdir -p "$BUILD"
  qlr_prefix_init "$BUILD/wineprefix" || return 1
  qlr_prefix_clone "$BASE_PREFIX" "$WORK/prefix" || return 1
  qlr_ports_map "$WORK/prefix" "$@" || return 1
  qlr_wine_env "${ACP:-1252}"
  OWN_PREFIX="$WORK/prefix"
  export WINEPREFIX="$OWN_PREFIX"
  qlr_server_start "$WINEPREFIX" || return 1
  if [ -n "${QLR_NET_PEER:-}" ] && [ $# -gt 0 ]; then
    export QLR_NET_COM="${1%%=*}"
    QLR_NET_COM="${QLR_NET_COM#COM}"
    net_front "${1#*=}" || return 1
  fi
}

# Runs a Wine program with a time bound (qlr_wine checks the port links first).
wine_run() { qlr_wine "$@"; }

# Windows path of a file.
winpath() { qlr_winpath "$1"; }

# Waits until FILE has at least SIZE bytes, at most SECONDS.
wait_size() {
  local file="$1" size="$2" seconds="$3" end
  end=$((SECONDS + seconds))
  while [ "$SECONDS" -le "$end" ]; do
    [ -f "$file" ] && [ "$(stat -c %s "$file")" -ge "$size" ] && return 0
    sleep 0.05
  done
  return 1
}

# run_host NAME SUMMARY COMMAND...: runs a Wine host (COMMAND as for wine_run)
# with its output shown and kept in $WORK/NAME.log, and checks that it exits 0
# and prints its summary line, matched by the extended regex SUMMARY
# (' passed, 0 failed' for any count). A host killed by Wine's server while
# exiting (137, see qlr_wine) passes only when it printed a summary with
# "0 failed".
run_host() {
  local name="$1" summary="$2" log="$WORK/$1.log" st; shift 2
  wine_run "$@" | tr -d '\r' | tee "$log"
  st=${PIPESTATUS[0]}
  if [ "$st" -eq 137 ] && grep -qE "$summary" "$log" && grep -qE '(^|[ ,])0 failed' "$log"; then
    log "$name was killed at its exit after a clean summary (status 137)"
    st=0
  fi
  check "$name reports no failure (exit status $st)" test "$st" -eq 0
  check "$name ran to its summary" grep -qE "$summary" "$log"
}

need_ocx() {
  [ -n "$OCX" ] && [ -f "$OCX" ] || skip "module not built (${OCX:-no path given})"
}

register_ocx() { wine_run regsvr32 /s "$(winpath "$OCX")"; }
unregister_ocx() { wine_run regsvr32 /u /s "$(winpath "$OCX")"; }

qlr_server_stop "$WORK/prefix"
rm -rf "$WORK"
mkdir -p "$WORK"

# ---- null-modem line state (tools/nullmodem) --------------------------------
# start_nullmodem NAME: a bridge with shared modem-line state (ptybridge -m);
# sets NAME_PORT, NAME_PEER and NAME_STATE (the state file). nm_wine runs a Wine
# program with the shim preloaded for all such bridges; nmctl NAME ... is
# `ptybridge ctl NAME_STATE ...` (the peer end's lines, bounded waits).
NMSHIM="$BUILD/tools/nmshim.so"
declare -a NM_STATES=()

build_nullmodem() {
  local dir="$ROOT/tools/nullmodem" tmp
  build_ptybridge || return 1
  if [ -f "$NMSHIM" ] && [ "$NMSHIM" -nt "$dir/nmshim.c" ] && [ "$NMSHIM" -nt "$dir/nullmodem.h" ]; then
    return 0
  fi
  mkdir -p "$(dirname "$NMSHIM")"
  tmp="$NMSHIM.$$"
  cc -std=c11 -shared -fPIC -O2 -Wall -Wextra -Werror -o "$tmp" "$dir/nmshim.c" -ldl && mv -f "$tmp" "$NMSHIM"
}

start_nullmodem() {
  local name="$1" state="$WORK/bridge-$1.state"
  build_nullmodem || { echo "cannot build ptybridge or nmshim.so" >&2; return 1; }
  rm -f "$state"
  launch_bridge "$name" -m "$state" || return 1
  printf -v "${name}_STATE" '%s' "$state"
  NM_STATES+=("$state")
}

nm_wine() {
  local list
  list="$(IFS=:; echo "${NM_STATES[*]}")"
  LD_PRELOAD="$NMSHIM${LD_PRELOAD:+:$LD_PRELOAD}" QLR_NULLMODEM="$list" wine_run "$@"
}

nmctl() { local name="$1"; shift; local v="${name}_STATE"; "$PTYBRIDGE" ctl "${!v}" "$@"; }

# ---- a network port in front of the line (QLR_NET_PEER) ---------------------
# With QLR_NET_PEER set to ser2net, pyserial or socat, setup_prefix serves the
# control's end of the first port it maps over TCP on 127.0.0.1 and exports
# QLR_PORT_NAME (rfc2217://... or socket://...), which the hosts set as
# QcPortName instead of opening that COM port (QLR_NET_COM, its number): the
# test's own checks then run through a network port. The
# null-modem shim of the test's bridges, if any, is preloaded into the server,
# which then drives and reads the modem lines in Wine's place.
NET_SERVER_PID=""
NET_TCP_PORT=""

net_free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
net_listening() { ss -ltnH "sport = :$1" 2>/dev/null | grep -q .; }

# net_front DEVICE [TCP_PORT]: serves DEVICE (on a free port unless given).
net_front() {
  local device="$1" list i
  NET_TCP_PORT="${2:-$(net_free_port)}" || return 1
  list="$(IFS=:; echo "${NM_STATES[*]}")"
  local -a preload=(env)
  [ -n "$list" ] && preload=(env "LD_PRELOAD=$NMSHIM" "QLR_NULLMODEM=$list")
  case "$QLR_NET_PEER" in
    ser2net)
      command -v ser2net >/dev/null || skip "ser2net is not installed"
      # chardelay off: ser2net would otherwise hold received bytes back for up
      # to 20 ms, to send them in bigger pieces.
      printf 'connection: &line\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%s\n  connector: serialdev,%s,9600n81,local\n  options:\n    chardelay: false\n' \
        "$NET_TCP_PORT" "$device" >"$WORK/ser2net.yaml"
      "${preload[@]}" ser2net -n -u -c "$WORK/ser2net.yaml" -P "$WORK/ser2net.pid" \
        >"$WORK/ser2net.log" 2>&1 &
      QLR_PORT_NAME="rfc2217://127.0.0.1:$NET_TCP_PORT" ;;
    pyserial)
      /usr/bin/python3 -c 'import serial.rfc2217' 2>/dev/null || skip "python3-serial is not installed"
      "${preload[@]}" /usr/bin/python3 "$IT_DIR/rfc2217_server.py" "$device" "$NET_TCP_PORT" \
        >"$WORK/pyserial.log" 2>&1 &
      QLR_PORT_NAME="rfc2217://127.0.0.1:$NET_TCP_PORT" ;;
    socat)
      socat "TCP-LISTEN:$NET_TCP_PORT,bind=127.0.0.1,reuseaddr,fork" "FILE:$device,raw,echo=0" \
        >"$WORK/socat.log" 2>&1 &
      QLR_PORT_NAME="socket://127.0.0.1:$NET_TCP_PORT" ;;
    *) echo "unknown QLR_NET_PEER '$QLR_NET_PEER'" >&2; return 1 ;;
  esac
  NET_SERVER_PID=$!
  CLEANUP_PIDS+=("$NET_SERVER_PID")
  export QLR_PORT_NAME
  log "the control opens $QLR_PORT_NAME ($QLR_NET_PEER in front of $device)"
  for i in $(seq 1 200); do
    net_listening "$NET_TCP_PORT" && return 0
    kill -0 "$NET_SERVER_PID" 2>/dev/null || break
    sleep 0.05
  done
  echo "$QLR_NET_PEER did not start listening" >&2
  return 1
}
