#!/usr/bin/env bash
# OpenComm/CloseComm/IsOpen from a script host on ports bridged to ptys, on
# \\.\COM10 and on a port that cannot be opened.
. "$(dirname "$0")/lib.sh"
need_ocx
start_bridge A || { fail "bridge A starts"; finish; }
start_bridge B || { fail "bridge B starts"; finish; }
# COM3 on bridge A, COM10 on bridge B, COM2 left unmapped (cannot be opened).
setup_prefix "COM3=$A_PORT" "COM10=$B_PORT" || { fail "prefix set up"; finish; }
check "module registers" register_ocx
run_host open_close '^18 passed, 0 failed' cscript //nologo "$(winpath "$IT_DIR/vbs/open_close.vbs")" 2 9 1
finish
