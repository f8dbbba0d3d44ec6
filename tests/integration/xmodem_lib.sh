# XModem cases through the control against lrzsz or a scripted far end;
# sourced by t_xmodem_*.sh after lib.sh.
#
# One pty bridge L, mapped as COM4 (with XM_SECOND set, a second one, M, as
# COM5, whose far end stays silent); the far end runs on L_PEER in $PEER_DIR
# (lrzsz refuses absolute paths in its restricted mode). xmodem_host.exe runs
# once per case with its standard output read line by line: "READY <step>"
# calls on_ready <step>, which may write "GO" to the host's standard input
# (the fifo on fd 5). Every wait is bounded.

command -v sx >/dev/null && command -v rx >/dev/null || skip "lrzsz (sx, rx) not installed"
need_ocx
BRIDGE_LIMIT="${BRIDGE_LIMIT:-900}"  # the bridge's own bound; ctest's time-out ends the test first
start_bridge L || { fail "bridge starts"; finish; }
M_PORT=""
[ -n "${XM_SECOND:-}" ] && { start_bridge M || { fail "second bridge starts"; finish; }; }
# XM_MAP_M_PEER: M's far end is a COM port too (COM6), for control-to-control cases.
setup_prefix "COM4=$L_PORT" ${M_PORT:+"COM5=$M_PORT"} ${XM_MAP_M_PEER:+"COM6=$M_PEER"} ||
  { fail "prefix set up"; finish; }
# XM_NO_REGISTER: the hosts find the module through their manifests instead.
[ -n "${XM_NO_REGISTER:-}" ] || check "module registers" register_ocx

PEER_DIR="$WORK/peer"
mkdir -p "$PEER_DIR"
GO_FIFO="$WORK/go.fifo"
OUT_FIFO="$WORK/out.fifo"
mkfifo "$GO_FIFO" "$OUT_FIFO"
exec 5<>"$GO_FIFO"  # read-write: neither side's open blocks
PEER_PID=""
FEED_PID=""
declare -a PEER_CMD=()

# make_file PATH SIZE [SEED]: pseudo-random bytes whose last byte is not SUB.
make_file() {
  perl -e 'srand($ARGV[1]); my @b = map { int(rand(256)) } 1 .. $ARGV[0];
           $b[-1] = 0x41 if @b && $b[-1] == 0x1A; print pack("C*", @b)' "$2" "${3:-$2}" >"$1"
}

# padded FILE BLOCK: the file filled up with SUB to a whole number of blocks.
padded() {
  local size pad
  size=$(stat -c %s "$1")
  pad=$(( (size + $2 - 1) / $2 * $2 - size ))
  cat "$1"
  [ "$pad" -gt 0 ] && head -c "$pad" /dev/zero | tr '\0' '\032'
  return 0
}

# blocks SIZE BLOCK: the number of blocks a sender of BLOCK-byte blocks needs.
blocks() { echo $(( ($1 + $2 - 1) / $2 )); }

# peer_start: runs PEER_CMD in PEER_DIR on the far end of the line. Its
# standard input comes through a pipe: lrzsz drains and flushes its standard
# input's terminal when it exits, and on a pty that flush also discards what it
# wrote last (the ACK of EOT) unless the bridge has read it already.
peer_start() {
  drain_peer
  rm -f "$WORK/peer.in"
  mkfifo "$WORK/peer.in"
  cat "$L_PEER" >"$WORK/peer.in" &
  FEED_PID=$!
  (cd "$PEER_DIR" && exec "${PEER_CMD[@]}" <"$WORK/peer.in" >"$L_PEER" 2>>"$WORK/peer.log") &
  PEER_PID=$!
  CLEANUP_PIDS+=("$PEER_PID" "$FEED_PID")
}

# drain_peer: drops what an earlier case left queued for the far end (a
# sender that went on writing after its peer vanished), until the line has
# stayed empty for two looks in a row.
drain_peer() {
  local empty=0 i n
  for i in $(seq 1 200); do
    n=$(timeout 2 dd if="$L_PEER" iflag=nonblock bs=65536 2>/dev/null | wc -c)
    if [ "$n" -gt 0 ]; then empty=0; else empty=$((empty + 1)); fi
    [ "$empty" -ge 2 ] && return 0
    sleep 0.05
  done
}

# peer_wait [SECONDS]: the far end's exit status (124: it had to be stopped).
peer_wait() {
  local pid="$PEER_PID" i st
  [ -n "$pid" ] || return 0
  for i in $(seq 1 $(( ${1:-20} * 20 ))); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  if kill -0 "$pid" 2>/dev/null; then st=124; else wait "$pid"; st=$?; fi
  peer_kill
  return $st
}

# peer_kill: the far end vanishes at once (SIGKILL: no cancel sequence), and
# nothing reads the line any more.
peer_kill() {
  local pid
  for pid in $PEER_PID $FEED_PID; do kill -9 "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  PEER_PID=""
  FEED_PID=""
}

# peer_byte [SECONDS]: the next byte the far end receives, in hex.
peer_byte() { timeout "${1:-10}" head -c 1 "$L_PEER" | od -An -tx1 | tr -d ' \n'; }

# What a READY step does unless a case redefines on_ready: the far end starts
# when the host is ready for it; it vanishes on "kill" and "reopen".
default_ready() {
  case "$1" in
    start) [ ${#PEER_CMD[@]} -gt 0 ] && peer_start ;;
    kill | reopen) peer_kill; echo GO >&5 ;;
  esac
}
on_ready() { default_ready "$1"; }

# host LABEL CASE ARGS...: one run of the host on COM4; passes when the host's
# own checks all passed. Its output is kept in $WORK/LABEL.log.
host() {
  local label="$1" log="$WORK/$1.log" line st; shift
  : >"$log"
  [ -n "$PEER_PID" ] || drain_peer
  qlr_ports_check "$WINEPREFIX" || { fail "$label: port links"; return 1; }
  timeout -k 5 "${HOST_LIMIT:-150}" wine "${XM_HOST:-$BIN/xmodem_host.exe}" "$1" 4 "${@:2}" \
    <"$GO_FIFO" >"$OUT_FIFO" 2>>"$WORK/host.err" &
  local pid=$!
  while IFS= read -r -t 170 line; do
    line="${line%$'\r'}"
    echo "$line" >>"$log"
    case "$line" in READY\ *) on_ready "${line#READY }" ;; esac
  done <"$OUT_FIFO"
  wait "$pid"; st=$?
  if grep -q '^xmodem_host: [0-9]* passed, 0 failed' "$log" && [ "$st" -eq 0 ]; then
    pass "$label: host checks ($(grep -c '^ok' "$log") passed)"
  else
    fail "$label: host checks (status $st)"; grep -E '^FAIL|^RESULT' "$log" | sed 's/^/    /'
    return 1
  fi
}

# same LABEL WANT GOT: the received file is byte for byte what was expected.
same() {
  if cmp -s "$2" "$3"; then pass "$1: file identical ($(stat -c %s "$3") bytes)"
  else fail "$1: file differs: $(cmp "$2" "$3" 2>&1 | head -1) (want $(stat -c %s "$2"), got $(stat -c %s "$3" 2>/dev/null))"; fi
}

# arrived LABEL WANT_DIR GOT_DIR NAME...: each file whole and with its time.
arrived() {
  local label="$1" want="$2" got="$3" f; shift 3
  for f in "$@"; do
    same "$label: $f" "$want/$f" "$got/$f"
    check "$label: $f keeps its time" \
      test "$(stat -c %Y "$want/$f")" = "$(stat -c %Y "$got/$f" 2>/dev/null)"
  done
}
