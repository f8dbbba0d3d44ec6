#!/usr/bin/env bash
# File transfers on a noisy cable: many transfers through the registered
# control, control -> lrzsz, lrzsz -> control and control -> control, every
# protocol (XModem with rx and sx, YModem and YModemG with rb and sb, ZModem
# with rz and sz; a batch protocol's receiver stores into in.bin), with
# bits flipped, bytes dropped, inserted and duplicated, the line held up and
# cut (the far end silent, or lrzsz killed). Every transfer must end within a
# bound; a receiver that reports 0 must hold the sent file byte for byte
# (our receiver drops the SUB padding, rx keeps it); a sender that reports 0
# must have been answered for every block (damage hidden from the 8-bit
# checksum, found by comparing the blocks' sums, is counted apart: no code can
# refuse it). Prints the seed (every choice and
# every bridge's noise follow from it) and a table.
#   QLR_SOAK_TRANSFERS  number of transfers (default 20; the long run: 300)
#   QLR_SOAK_MAX_KIB    largest file sent to rx (default 24; the long run: 300)
#   QLR_SOAK_RECV_KIB   largest file our receiver takes (default 12: it takes
#                       three blocks a second)
#   QLR_SOAK_HEAVY      one transfer in this many has the heaviest noise, and
#                       one in this many a cut (default 16; the long run: 8).
#                       Such transfers fail by their time-outs, ~100 s each.
#   QLR_SOAK_SEED       replays a run
. "$(dirname "$0")/lib.sh"
SOAK_SEED="${QLR_SOAK_SEED:-$(( ($(date +%s) ^ $$) % 1000000 ))}"
TRANSFERS="${QLR_SOAK_TRANSFERS:-20}"
MAX_KIB="${QLR_SOAK_MAX_KIB:-24}"
RECV_KIB="${QLR_SOAK_RECV_KIB:-12}"
HEAVY="${QLR_SOAK_HEAVY:-16}"
BOUND=240  # seconds: ten retries of ten-second waits, with room to spare
mkdir -p "$WORK"
export BRIDGE_NOISE_L="$WORK/noise-L" BRIDGE_NOISE_M="$WORK/noise-M"
echo "seed=0" >"$BRIDGE_NOISE_L"
echo "seed=0" >"$BRIDGE_NOISE_M"
BRIDGE_LIMIT=$(( TRANSFERS * BOUND * 2 + 600 ))
XM_SECOND=1
XM_MAP_M_PEER=1
. "$(dirname "$0")/xmodem_lib.sh"
log "seed $SOAK_SEED (QLR_SOAK_SEED=$SOAK_SEED replays this run), $TRANSFERS transfers up to $MAX_KIB KiB (received: $RECV_KIB KiB), heavy noise and cuts 1 in $HEAVY"
RANDOM=$SOAK_SEED
PID_L="${BRIDGE_PIDS[0]}"
PID_M="${BRIDGE_PIDS[1]}"

HOST_DIR="$WORK/host"
mkdir -p "$HOST_DIR"
IN_FIFO="$WORK/soak.in"
RES_FIFO="$WORK/soak.out"
mkfifo "$IN_FIFO" "$RES_FIFO"
exec 6<>"$IN_FIFO"
(cd "$HOST_DIR" && exec timeout -k 5 $(( BRIDGE_LIMIT )) wine "$BIN/soak_host.exe" 4 5 6 "$BOUND") \
  <&6 >"$RES_FIFO" 2>>"$WORK/host.err" &
HOST_PID=$!
CLEANUP_PIDS+=("$HOST_PID")
exec 7<"$RES_FIFO"

# reply SECONDS: the host's next line (without CR), or "TIMEOUT".
reply() {
  local line
  if IFS= read -r -t "$1" line <&7; then echo "${line%$'\r'}"; else echo TIMEOUT; fi
}
[ "$(reply 120)" = READY ] || { fail "soak host starts"; cat "$WORK/host.err"; finish; }

# noise PID FILE SEED RATES: the bridge's noise from now on.
noise() {
  rm -f "$2.ack"
  echo "seed=$3 $4" >"$2"
  kill -USR1 "$1"
  local i
  for i in $(seq 1 100); do [ -s "$2.ack" ] && return 0; sleep 0.02; done
  return 1
}
# rates LEVEL: the noise words for both directions at that level.
rates() {
  local f d i u l
  case "$1" in
    0) return ;;
    1) f=2e-5 d=1e-5 i=1e-5 u=1e-5 l=2e-6 ;;
    2) f=2e-4 d=1e-4 i=1e-4 u=1e-4 l=2e-5 ;;
    3) f=2e-3 d=1e-3 i=1e-3 u=1e-3 l=2e-4 ;;
  esac
  for s in port peer; do echo -n "$s.flip=$f $s.drop=$d $s.insert=$i $s.dup=$u $s.delay=$l $s.delayms=300 "; done
}

N=0 OK=0 FAILED=0 WRONG=0 HANGS=0 LONGEST=0 LONGEST_WHAT="" RX_WRONG=0 COLLISIONS=0
# sum_collision SENT RECEIVED: true when the files differ only inside
# 128-byte blocks whose 8-bit sums are equal: damage the checksum handshake
# cannot see (two flips of one bit, one each way), whatever the code does.
sum_collision() {
  python3 - "$1" "$2" <<'PY'
import sys
a, b = (open(f, "rb").read() for f in sys.argv[1:3])
blocks = [(a[i:i + 128], b[i:i + 128]) for i in range(0, len(a), 128)]
sys.exit(0 if len(a) == len(b) and a != b and
         all(x == y or sum(x) % 256 == sum(y) % 256 for x, y in blocks) else 1)
PY
}
declare -A BY_KIND=() BY_PROTO=()
for i in $(seq 1 "$TRANSFERS"); do
  kind=$(( RANDOM % 3 ))       # 0 control -> rx, 1 sx -> control, 2 control -> control
  proto=$(( RANDOM % 7 ))
  level=$(( RANDOM % 3 )); [ $(( RANDOM % HEAVY )) -eq 0 ] && level=3
  cut=$(( RANDOM % HEAVY == 0 ))
  # sizes: empty and tiny files, small ones, and any size up to the limit
  limit=$MAX_KIB; [ $kind -ne 0 ] && limit=$RECV_KIB
  case $(( RANDOM % 4 )) in
    0) size=$(( RANDOM % 200 )) ;;
    1) size=$(( RANDOM % 2048 )) ;;
    *) size=$(( (RANDOM * 32768 + RANDOM) % (limit * 1024 + 1) )) ;;
  esac
  bs=128; [ $proto -ge 3 ] && bs=1024
  # The bound grows with the blocks: a lost byte costs a ten-second wait,
  # and our receiver paces its blocks.
  bound=$(( BOUND + 2 * (size / bs + 1) ))
  src="$WORK/src.bin"
  make_file "$src" "$size" "$(( SOAK_SEED + i ))"
  seed=$(( SOAK_SEED * 1000 + i ))
  faults="$(rates $level)"
  [ "$cut" -eq 1 ] && faults="$faults port.cut=$(( RANDOM % (size + 200) + 1 ))"
  what="#$i kind=$kind proto=$proto size=$size level=$level cut=$cut seed=$seed"
  drain_peer
  rm -f "$PEER_DIR/out.bin" "$HOST_DIR/in.bin"
  end=""
  case $kind in
    0)
      rxopt=""; [ $(( RANDOM % 2 )) -eq 0 ] && rxopt="-c"
      noise "$PID_L" "$BRIDGE_NOISE_L" "$seed" "$faults" || fail "$what: noise applied"
      cp "$src" "$HOST_DIR/out.bin"
      echo "send out.bin $proto $bound" >&6
      [ "$(reply 30)" = STARTED ] || { fail "$what: start"; continue; }
      # shellcheck disable=SC2206
      case $proto in
        [0-3]) PEER_CMD=(rx -X $rxopt out.bin) ;;
        [45]) PEER_CMD=(rb) ;;
        6) PEER_CMD=(rz) ;;
      esac
      peer_start
      [ "$cut" -eq 1 ] && noise "$PID_L" "$BRIDGE_NOISE_L" "$seed" "$faults port.hangpid=$PEER_PID"
      end="$(reply $(( bound + 30 )))"
      peer_wait 30; peer_rc=$?
      ;;
    1)
      kopt=""; [ $(( RANDOM % 2 )) -eq 0 ] && kopt="-k"
      noise "$PID_L" "$BRIDGE_NOISE_L" "$seed" "$faults" || fail "$what: noise applied"
      cp "$src" "$PEER_DIR/src.bin"
      # shellcheck disable=SC2206
      case $proto in
        [0-3]) PEER_CMD=(sx -X $kopt src.bin) ;;
        [45]) PEER_CMD=(sb $kopt src.bin) ;;
        6) PEER_CMD=(sz src.bin) ;;
      esac
      peer_start
      echo "recv in.bin $proto $bound" >&6
      [ "$(reply 30)" = STARTED ] || { fail "$what: start"; continue; }
      end="$(reply $(( bound + 30 )))"
      peer_wait 30; peer_rc=$?
      ;;
    2)
      noise "$PID_M" "$BRIDGE_NOISE_M" "$seed" "$faults" || fail "$what: noise applied"
      cp "$src" "$HOST_DIR/out.bin"
      echo "pair out.bin in.bin $proto $bound" >&6
      [ "$(reply 30)" = STARTED ] || { fail "$what: start"; continue; }
      end="$(reply $(( bound + 30 )))"
      peer_rc=0
      ;;
  esac
  noise "$PID_L" "$BRIDGE_NOISE_L" 0 "" >/dev/null
  noise "$PID_M" "$BRIDGE_NOISE_M" 0 "" >/dev/null
  N=$((N + 1))
  # END <send> <recv> <progress> <ms> | END hang <ms>
  read -r _ s r progress ms <<<"$end"
  if [ "$end" = TIMEOUT ] || [ "$s" = hang ] || [ "${end%% *}" != END ]; then
    HANGS=$((HANGS + 1)); fail "$what: no end within ${bound}s ($end)"
    [ "$end" = TIMEOUT ] && break
    continue
  fi
  [ "$ms" -gt "$LONGEST" ] && { LONGEST=$ms; LONGEST_WHAT="$what"; }
  blocks=$(( (size + bs - 1) / bs ))
  # YMODEM: 1K blocks while more than 896 bytes are left, then 128-byte ones;
  # ZMODEM counts KiB moved (at least the file's, more after a rewind).
  if [ $proto -eq 4 ] || [ $proto -eq 5 ]; then
    blocks=0; left=$size
    while [ "$left" -gt 0 ]; do
      if [ "$left" -gt 896 ]; then left=$((left - 1024)); else left=$((left - 128)); fi
      blocks=$((blocks + 1))
    done
  fi
  wrong=""
  case $kind in
    0)
      if [ $proto -le 3 ]; then padded "$src" "$bs" >"$WORK/want.bin"; else cp "$src" "$WORK/want.bin"; fi
      if [ "$s" = 0 ]; then
        # A sender that reports 0 was answered for every block. What rx
        # accepted is rx's own check (its 8-bit checksum can pass damage):
        # counted apart.
        if [ $proto -eq 6 ]; then
          [ "$progress" -ge $(( size / 1024 )) ] || wrong="$progress KiB of $size bytes sent"
        else
          [ "$progress" = "$blocks" ] || wrong="$progress of $blocks blocks acknowledged"
        fi
        if ! cmp -s "$WORK/want.bin" "$PEER_DIR/out.bin" && [ "$peer_rc" -eq 0 ]; then
          RX_WRONG=$((RX_WRONG + 1)); echo "     $what: rx reports success with another file"
        fi
      fi ;;
    1)
      [ "$r" = 0 ] && { cmp -s "$src" "$HOST_DIR/in.bin" || wrong="received file differs"; } ;;
    2)
      if [ "$r" = 0 ]; then cmp -s "$src" "$HOST_DIR/in.bin" || wrong="received file differs"; fi
      if [ "$s" = 0 ] && [ $proto -eq 6 ]; then
        # Each file is confirmed before ZFIN, whose answer may be lost.
        cmp -s "$src" "$HOST_DIR/in.bin" || wrong="$wrong; sender 0 but the file differs"
      elif [ "$s" = 0 ]; then
        [ "$r" = 0 ] || wrong="$wrong; sender 0 but receiver $r"
        [ "$progress" = "$blocks" ] || wrong="$wrong; $progress of $blocks blocks acknowledged"
      fi ;;
  esac
  # A receiver that takes the 8-bit checksum (XModem, or XModemCheckSum)
  # cannot refuse damage its sum does not see: counted apart.
  if [ "$wrong" = "received file differs" ] && [ $proto -le 1 ] &&
     sum_collision "$src" "$HOST_DIR/in.bin"; then
    COLLISIONS=$((COLLISIONS + 1)); echo "     $what: the 8-bit sum passed damage ($wrong)"
    wrong=""
    continue
  fi
  if [ -n "$wrong" ]; then
    WRONG=$((WRONG + 1)); fail "$what: wrong file reported as success: $wrong (END $s $r $progress $ms)"
  elif { [ $kind -eq 0 ] && [ "$s" = 0 ]; } || { [ $kind -eq 1 ] && [ "$r" = 0 ]; } ||
       { [ $kind -eq 2 ] && [ "$s" = 0 ] && [ "$r" = 0 ]; }; then
    BY_PROTO[$proto]=$(( ${BY_PROTO[$proto]:-0} + 1 ))
    OK=$((OK + 1)); BY_KIND[$kind]=$(( ${BY_KIND[$kind]:-0} + 1 ))
    echo "     $what: succeeded in ${ms} ms"
  else
    FAILED=$((FAILED + 1)); echo "     $what: failed with send=$s receive=$r (peer $peer_rc) after ${ms} ms"
  fi
done
echo "quit" >&6

log "seed $SOAK_SEED"
printf '[%s] %-12s %-10s %-16s %-28s %-6s %s\n' "$TEST_NAME" transfers succeeded "failed with code" \
  "wrong file reported as 0" hangs "longest transfer"
printf '[%s] %-12s %-10s %-16s %-28s %-6s %s\n' "$TEST_NAME" "$N" "$OK" "$FAILED" "$WRONG" "$HANGS" \
  "$LONGEST ms ($LONGEST_WHAT)"
log "succeeded by kind: control->rx ${BY_KIND[0]:-0}, sx->control ${BY_KIND[1]:-0}, control->control ${BY_KIND[2]:-0}"
log "succeeded by protocol (0-6): ${BY_PROTO[0]:-0} ${BY_PROTO[1]:-0} ${BY_PROTO[2]:-0} ${BY_PROTO[3]:-0} ${BY_PROTO[4]:-0} ${BY_PROTO[5]:-0} ${BY_PROTO[6]:-0}"
log "rx (not ours) reported success with another file: $RX_WRONG"
log "damage the 8-bit checksum could not see (protocol 0 or 1): $COLLISIONS"
check "every transfer ran ($N of $TRANSFERS)" test "$N" -eq "$TRANSFERS"
check "no wrong file reported as success" test "$WRONG" -eq 0
check "no hang" test "$HANGS" -eq 0
finish
