#!/usr/bin/env bash
# Registration of qlrcom32.ocx in a fresh prefix: unregistering a module that
# was never registered succeeds, registering writes every entry of the three
# classes and the type library, unregistering removes the class keys and the
# six ProgID keys and leaves the type library registered. The ProgIDs (in the
# root both registry views share) stay while the other architecture's view
# still registers the class. Per user (regsvr32 /n /i:user): the same entries
# under HKCU\Software\Classes, nothing of the classes machine-wide, and /u
# /n /i:user gives HKCU back as it was.
. "$(dirname "$0")/lib.sh"
need_ocx

setup_prefix || { fail "prefix set up"; finish; }
MOD="$(winpath "$OCX")"
REGCHECK="$BIN/regcheck.exe"
CONTROL_CLSID='{B8E15D98-6585-49ED-8178-ADA511C917C9}'

check "DllUnregisterServer on a clean prefix returns S_OK" wine_run "$REGCHECK" call "$MOD" DllUnregisterServer
check "regsvr32 /u on a clean prefix succeeds" unregister_ocx
check "nothing of the control is registered yet" wine_run "$REGCHECK" clean "$MOD"

fails() { ! wine_run "$@" >/dev/null 2>&1; }

# ---- per user ----
# A registry key exported as text, without the export's time-dependent lines.
export_key() { wine_run reg export "$1" "$(winpath "$2")" /y >/dev/null && iconv -f UTF-16LE -t UTF-8 "$2" | tr -d '\r' > "$2.txt"; }
export_key HKLM "$WORK/hklm-before.reg"
export_key HKCU "$WORK/hkcu-before.reg"
check "regsvr32 /n /i:user registers for the user" wine_run regsvr32 /s /n /i:user "$MOD"
check "per-user entries under HKCU\\Software\\Classes" wine_run "$REGCHECK" --user registered "$MOD"
check "no class or ProgID machine-wide after the per-user registration" \
  wine_run "$REGCHECK" noclasses "$MOD"
export_key HKLM "$WORK/hklm-user.reg"
export_key HKCU "$WORK/hkcu-user.reg"
# Outside HKCU only the type library may appear (Wine 8's RegisterTypeLibForUser
# registers machine-wide); it is reported, not failed. (Wine also records
# display devices by itself, under Control\Video.)
diff "$WORK/hklm-before.reg.txt" "$WORK/hklm-user.reg.txt" > "$WORK/hklm-user.diff"
outside="$(grep '^> \[' "$WORK/hklm-user.diff" | grep -v -i -E '\\(TypeLib|Interface|Control\\Video)\\' || true)"
check "nothing but the type library written outside HKCU" test -z "$outside"
[ -n "$outside" ] && echo "$outside" | head -20
echo "[register] per user, HKLM keys added (type library by Wine): $(grep -c '^> \[' "$WORK/hklm-user.diff")"
echo "[register] per user, HKCU keys added: $(diff "$WORK/hkcu-before.reg.txt" "$WORK/hkcu-user.reg.txt" | grep -c '^> \[')"
diff "$WORK/hkcu-before.reg.txt" "$WORK/hkcu-user.reg.txt" | grep '^> \[' | sed 's/^> /    /' | head -40
check "regsvr32 /u /n /i:user removes the per-user registration" wine_run regsvr32 /s /u /n /i:user "$MOD"
check "nothing left under HKCU\\Software\\Classes" wine_run "$REGCHECK" --user clean "$MOD"
export_key HKCU "$WORK/hkcu-after.reg"
# Software\Classes and its CLSID key are the classes root itself (every
# Windows has them; a fresh Wine prefix not): they may stay.
diff "$WORK/hkcu-before.reg.txt" "$WORK/hkcu-after.reg.txt" | grep '^[<>] \[' \
  | grep -v -x -e '> \[HKEY_CURRENT_USER\\Software\\Classes\]' \
               -e '> \[HKEY_CURRENT_USER\\Software\\Classes\\CLSID\]' > "$WORK/hkcu-left.txt"
check "HKCU is as it was before the per-user registration" test ! -s "$WORK/hkcu-left.txt"
cat "$WORK/hkcu-left.txt"
check "DllInstall refuses an unknown command line" fails regsvr32 /s /n /i:bogus "$MOD"

# ---- machine-wide ----
check "regsvr32 registers the module" register_ocx
check "registry entries after registration" wine_run "$REGCHECK" registered "$MOD"
check "DllRegisterServer again returns S_OK" wine_run "$REGCHECK" call "$MOD" DllRegisterServer
check "registry entries after registering twice" wine_run "$REGCHECK" registered "$MOD"
wine_run "$REGCHECK" progid QLRCom.QLRCom || true

check "regsvr32 /u unregisters the module" unregister_ocx
check "class and ProgID keys gone, type library kept" wine_run "$REGCHECK" unregistered "$MOD"
check "DllUnregisterServer again returns S_OK" wine_run "$REGCHECK" call "$MOD" DllUnregisterServer

# The other architecture's module still registers the control (its class key
# in the 32-bit view): unregistering this one keeps the shared ProgIDs.
check "regsvr32 registers the module again" register_ocx
check "a 32-bit registration of the control is made" \
  wine_run reg add "HKCR\\CLSID\\$CONTROL_CLSID\\InprocServer32" /ve /d 'C:\x86\qlrcom32.ocx' /f /reg:32
check "regsvr32 /u with the 32-bit registration present succeeds" unregister_ocx
check "QLRCom.QLRCom kept for the 32-bit registration" wine_run reg query "HKCR\\QLRCom.QLRCom\\CLSID"
check "QLRCom.QLRCom.1 kept for the 32-bit registration" wine_run reg query "HKCR\\QLRCom.QLRCom.1\\CLSID"
check "the 64-bit class key is gone" fails reg query "HKCR\\CLSID\\$CONTROL_CLSID" /reg:64
check "the page's ProgID is gone" fails reg query "HKCR\\CommSettings.CommSettings"
finish
