#!/usr/bin/env bash
# A C++ host with event sinks and a property-notification sink.
. "$(dirname "$0")/lib.sh"
need_ocx
[ -f "$BIN/cpp_client.exe" ] || skip "cpp_client.exe not built (no generated header)"
start_bridge A || { fail "bridge A starts"; finish; }
setup_prefix "COM4=$A_PORT" || { fail "prefix set up"; finish; }
check "module registers" register_ocx
wine_run "$BIN/cpp_client.exe" 3 | tee "$WORK/cpp_client.log"
st=${PIPESTATUS[0]}
check "cpp_client reports no failure (exit status $st)" test "$st" -eq 0
check "cpp_client ran its checks" grep -q ' passed, 0 failed' "$WORK/cpp_client.log"
finish
