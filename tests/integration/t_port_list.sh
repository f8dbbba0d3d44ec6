#!/usr/bin/env bash
# The port list object: registered by regsvr32, created from a script host
# (For Each included) and from a C++ host; the ports mapped in this prefix
# appear with their names and device numbers; unregistering removes the class.
. "$(dirname "$0")/lib.sh"
need_ocx
[ -f "$BIN/port_list_host.exe" ] || skip "port_list_host.exe not built (no generated header)"
start_bridge A || { fail "bridge A starts"; finish; }
start_bridge B || { fail "bridge B starts"; finish; }
setup_prefix "COM3=$A_PORT" "COM12=$B_PORT" || { fail "prefix set up"; finish; }
MOD="$(winpath "$OCX")"

check "regsvr32 registers the module" register_ocx
check "registry entries of the three classes" wine_run "$BIN/regcheck.exe" registered "$MOD"

# The prefix maps every port from COM1 to COM20 (those without a bridge to a
# folder); all of them are the system's ports and must be listed.
mapped=()
for n in $(seq 1 20); do mapped+=("COM$n"); done
wine_run cscript //nologo "$(winpath "$IT_DIR/vbs/port_list.vbs")" "${mapped[@]}" | tee "$WORK/port_list.log"
st=${PIPESTATUS[0]}
check "port_list.vbs reports no failure (exit status $st)" test "$st" -eq 0
check "port_list.vbs ran its checks" grep -q ' passed, 0 failed' "$WORK/port_list.log"

wine_run "$BIN/port_list_host.exe" COM3 COM12 | tee "$WORK/port_list_host.log"
st=${PIPESTATUS[0]}
check "port_list_host reports no failure (exit status $st)" test "$st" -eq 0
check "port_list_host ran its checks" grep -q ' passed, 0 failed' "$WORK/port_list_host.log"

check "regsvr32 /u unregisters the module" unregister_ocx
check "class and ProgID keys of all three classes gone" wine_run "$BIN/regcheck.exe" unregistered "$MOD"
wine_run cscript //nologo "$(winpath "$IT_DIR/vbs/port_list.vbs")" /absent | tee "$WORK/port_list_absent.log"
st=${PIPESTATUS[0]}
check "QLRCom.PortList is no longer creatable (exit status $st)" test "$st" -eq 0
finish
