#!/usr/bin/env bash
# Framed receiving through the registered control in a C++ host: a peer on
# the virtual line sends frames (delimited and fixed in random chunks; idle-gap
# and Modbus RTU paced at the line's speed with timed silences) and the host
# checks that each arrives once, whole, in order, with its status (wrong CRCs
# flagged). The timed runs leave 100 ms between frames although the control's
# silence is 8 ms (idle) or 3.5 characters (Modbus): the line here is made of
# processes, and on a loaded machine a reader that does not run for longer
# than the silence cannot tell two frames apart (on Windows as here).
# QLR_FRAME_SPACE_MS sets that silence, QLR_FRAME_COUNT the count of the
# timed runs (default: one or two hundred, so that the test stays short; the
# delimited and fixed runs send 10,000 frames).
. "$(dirname "$0")/lib.sh"
need_ocx
# Long runs outlast the bridges' default time limit.
[ -n "${QLR_FRAME_COUNT:-}" ] && export BRIDGE_LIMIT="${BRIDGE_LIMIT:-3600}"
# An unpaced line for the delimited and fixed runs, and two that the bridge
# paces at 115200 and 9600 bit/s for the timed ones.
start_bridge L || { fail "bridge starts"; finish; }
launch_bridge F -b 115200 || { fail "paced bridge starts"; finish; }
launch_bridge S -b 9600 || { fail "paced bridge starts"; finish; }
setup_prefix "COM4=$L_PORT" "COM5=$F_PORT" "COM6=$S_PORT" || { fail "prefix set up"; finish; }
check "module registers" register_ocx

timed="${QLR_FRAME_COUNT:-}"
space="${QLR_FRAME_SPACE_MS:-100}"  # silence the peer leaves between timed frames
# name line mode baud count seed gap_ms(control) peer_gap_ms
runs=(
  "delimiter L 1 115200 10000 11 0 0"
  "fixed L 2 115200 10000 12 0 0"
  "idle F 3 115200 ${timed:-120} 13 8 $space"
  "modbus-9600 S 4 9600 ${timed:-100} 14 0 $space"
  "modbus-115200 F 4 115200 ${timed:-150} 15 0 $space"
)
for run in "${runs[@]}"; do
  read -r name line_name mode baud count seed gap peergap <<<"$run"
  case "$line_name" in L) com=4 ;; F) com=5 ;; S) com=6 ;; esac
  peer_var="${line_name}_PEER"
  fifo="$WORK/$name.fifo"
  log_file="$WORK/$name.log"
  mkfifo "$fifo"
  QLR_WINE_TIMEOUT=900 wine_run "$BIN/recv_events.exe" frames "$com" "$mode" "$baud" "$count" "$seed" "$gap" \
    >"$fifo" 2>"$WORK/$name.err" &
  host=$!
  CLEANUP_PIDS+=("$host")
  peer=""
  while IFS= read -r -t 900 line; do
    line="${line%$'\r'}"
    echo "$name: $line" | tee -a "$log_file"
    if [ "$line" = "READY frames" ]; then
      timeout 900 /usr/bin/python3 "$(dirname "$0")/frame_peer.py" "${!peer_var}" "$mode" "$count" \
        "$seed" "$baud" "$peergap" > >(sed "s/^/$name: /") &
      peer=$!
      CLEANUP_PIDS+=("$peer")
    fi
  done <"$fifo"
  wait "$host"
  st=$?
  # The next run starts on a quiet line.
  [ -n "$peer" ] && { kill "$peer" 2>/dev/null; wait "$peer" 2>/dev/null; }
  check "$name: the host printed its summary" grep -q "^$name: recv_events: [0-9]* passed, 0 failed" "$log_file"
  check "$name: the host passed every check (status $st)" test "$st" -eq 0
  [ -s "$WORK/$name.err" ] && sed "s/^/$name stderr: /" "$WORK/$name.err" | head -20
done
finish
