#!/usr/bin/env bash
# The control in a container of our own with a full site (test_container.cpp):
# quick activation, size negotiation, drawing, activation and focus, the
# properties verb, the About box; screenshots into artifacts/screenshots.
. "$(dirname "$0")/lib.sh"
need_ocx
[ -f "$BIN/test_container.exe" ] || skip "test_container.exe not built"
start_bridge A || { fail "bridge A starts"; finish; }
setup_prefix "COM7=$A_PORT" || { fail "prefix set up"; finish; }
check "module registers" register_ocx
SHOTS="$BUILD/artifacts/screenshots"
mkdir -p "$SHOTS"
run_host container ' passed, 0 failed' \
  -t 90 "$BIN/test_container.exe" 6 "$(winpath "$ROOT/resources/face.bmp")" "$(winpath "$SHOTS")"
for f in face_design about container_design container_run; do
  check "screenshot $f.png written" test -s "$SHOTS/$f.png"
done
finish
