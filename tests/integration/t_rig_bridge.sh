#!/usr/bin/env bash
# The pty bridge on its own: both directions 8-bit clean, the peer survives the
# port side being closed and reopened, raw mode, the time limit.
. "$(dirname "$0")/lib.sh"

start_bridge A || { fail "bridge starts"; finish; }
pass "bridge starts ($A_PORT <-> $A_PEER)"

# All 256 byte values, four times, written by five separate open/close cycles
# of the port side while one reader holds the peer side.
printf "$(printf '\\%03o' $(seq 0 255))" > "$WORK/all.bin"
cat "$WORK/all.bin" "$WORK/all.bin" "$WORK/all.bin" "$WORK/all.bin" > "$WORK/block.bin"
: > "$WORK/expect.bin"
timeout 20 cat "$A_PEER" > "$WORK/got.bin" &
CLEANUP_PIDS+=("$!")
for i in 1 2 3 4 5; do
  timeout 5 cat "$WORK/block.bin" > "$A_PORT" || fail "write cycle $i to the port side"
  cat "$WORK/block.bin" >> "$WORK/expect.bin"
done
size=$(stat -c %s "$WORK/expect.bin")
check "peer receives $size bytes from 5 port-side cycles" wait_size "$WORK/got.bin" "$size" 10
check "bytes arrive unchanged port -> peer" cmp "$WORK/expect.bin" "$WORK/got.bin"

# The other direction, the port side opened anew for reading. The bridge holds
# the port slave open, so bytes the peer sends first wait in its queue.
timeout 5 cat "$WORK/block.bin" > "$A_PEER"
timeout 10 head -c "$(stat -c %s "$WORK/block.bin")" < "$A_PORT" > "$WORK/back.bin"
check "bytes arrive unchanged peer -> port" cmp "$WORK/block.bin" "$WORK/back.bin"

check "port side is raw" bash -c "stty -F '$A_PORT' -a | grep -q -- '-icanon' && stty -F '$A_PORT' -a | grep -q -- '-echo '"
check "peer side is raw" bash -c "stty -F '$A_PEER' -a | grep -q -- '-icanon' && stty -F '$A_PEER' -a | grep -q -- '-isig'"

# A bridge with a time limit ends by itself with status 3.
"$PTYBRIDGE" -t 0.3 >/dev/null 2>&1 &
limited=$!
timeout 5 tail --pid="$limited" -f /dev/null
wait "$limited"; st=$?
check "time limit ends the bridge with status 3 (got $st)" test "$st" -eq 3

finish
