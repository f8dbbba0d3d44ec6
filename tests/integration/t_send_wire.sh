#!/usr/bin/env bash
# Every send member's bytes as the far end of the line receives them, with the
# ANSI code pages 1252 and 932.
. "$(dirname "$0")/lib.sh"
need_ocx
start_bridge L || { fail "bridge starts"; finish; }
setup_prefix "COM4=$L_PORT" || { fail "prefix set up"; finish; }
check "module registers" register_ocx

# "A" e-acute hiragana-a "|"  line CR LF  l.i.n.e. in UTF-16LE  the five array
# bytes  the two by-reference bytes  SendBuffer 31 FF  "*" (priority)  "*" (Output)
tail_hex="7c6c696e650d0a6c0069006e006500007f80ff0a7f8031ff2a2a"
for acp in 1252 932; do
  out="$WORK/peer-$acp.bin"
  timeout 30 cat "$L_PEER" >"$out" 2>/dev/null &
  reader=$!
  CLEANUP_PIDS+=("$reader")
  ( qlr_wine_env "$acp" && wine_run "$BIN/send_wire.exe" 4 ) | tee "$WORK/send-$acp.log"
  st=${PIPESTATUS[0]}
  check "send_wire.exe returns what each send should (ACP $acp, status $st)" test "$st" -eq 0
  wait_size "$out" 29 10 || true
  kill "$reader" 2>/dev/null; wait "$reader" 2>/dev/null
  got="$(od -An -v -tx1 "$out" | tr -d ' \n')"
  if [ "$acp" = 1252 ]; then
    want="41e93f$tail_hex"    # hiragana-a has no place in 1252: the default character
  else
    want="416582a0$tail_hex"  # 932 writes e-acute as its best fit "e"; hiragana-a is 82 A0
  fi
  check "the far end received exactly the expected bytes with ACP $acp (got $got)" test "$got" = "$want"
done
finish
