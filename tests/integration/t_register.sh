#!/usr/bin/env bash
# Registration of qlrcom32.ocx in a fresh prefix: unregistering a module that
# was never registered succeeds, registering writes every entry of the three
# classes and the type library, unregistering removes the class keys and the
# six ProgID keys and leaves the type library registered.
. "$(dirname "$0")/lib.sh"
need_ocx

setup_prefix || { fail "prefix set up"; finish; }
MOD="$(winpath "$OCX")"
REGCHECK="$BIN/regcheck.exe"

check "DllUnregisterServer on a clean prefix returns S_OK" wine_run "$REGCHECK" call "$MOD" DllUnregisterServer
check "regsvr32 /u on a clean prefix succeeds" unregister_ocx
check "nothing of the control is registered yet" wine_run "$REGCHECK" clean "$MOD"

check "regsvr32 registers the module" register_ocx
check "registry entries after registration" wine_run "$REGCHECK" registered "$MOD"
check "DllRegisterServer again returns S_OK" wine_run "$REGCHECK" call "$MOD" DllRegisterServer
check "registry entries after registering twice" wine_run "$REGCHECK" registered "$MOD"
wine_run "$REGCHECK" progid QLRCom.QLRCom || true

check "regsvr32 /u unregisters the module" unregister_ocx
check "class and ProgID keys gone, type library kept" wine_run "$REGCHECK" unregistered "$MOD"
check "DllUnregisterServer again returns S_OK" wine_run "$REGCHECK" call "$MOD" DllUnregisterServer
finish
