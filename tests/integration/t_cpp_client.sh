#!/usr/bin/env bash
# A C++ host with event sinks and a property-notification sink.
. "$(dirname "$0")/lib.sh"
need_ocx
[ -f "$BIN/cpp_client.exe" ] || skip "cpp_client.exe not built (no generated header)"
start_bridge A || { fail "bridge A starts"; finish; }
setup_prefix "COM4=$A_PORT" || { fail "prefix set up"; finish; }
check "module registers" register_ocx
run_host cpp_client ' passed, 0 failed' "$BIN/cpp_client.exe" 3
finish
