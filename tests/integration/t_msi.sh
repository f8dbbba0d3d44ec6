#!/usr/bin/env bash
# The 64-bit installer (dist/qlrcom32-<version>-x64.msi, tools/package.sh)
# under Wine's msiexec, silently: after the install the files are in Program
# Files\qlrcom32, the registry holds every entry that self-registration writes
# and a script host creates the control by both ProgIDs; after the uninstall
# the registry and the files are as they were before the install. The
# differences that remain are Windows Installer's own records, listed.
. "$(dirname "$0")/lib.sh"
need_ocx
VERSION="$(sed -n 's/^#define QLR_VERSION_NUMBERS \([0-9]*\),\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1.\2.\3.\4/p' \
  "$BUILD/resources/generated/qlr_version.h")"
MSI="${QLR_DIST:-$ROOT/dist}/qlrcom32-$VERSION-x64.msi"
[ -f "$MSI" ] || skip "$MSI not built (tools/package.sh)"
setup_prefix || { fail "prefix set up"; finish; }

# Registry (HKLM, HKCU) as text and the files of drive C, for comparison.
snapshot() {
  local key
  for key in HKLM HKCU; do
    wine_run reg export "$key" "$(winpath "$WORK/$key-$1.reg")" /y >/dev/null || return 1
    iconv -f UTF-16LE -t UTF-8 "$WORK/$key-$1.reg" | tr -d '\r' > "$WORK/$key-$1.txt"
  done
  ( cd "$WINEPREFIX/drive_c" && find . -path ./windows/Installer -prune -o -type f -print \
      -o -type l -print | LC_ALL=C sort ) > "$WORK/files-$1.txt"
}
# Windows Installer's bookkeeping of installed products (not the product's),
# and the display device Wine records when the first window is made.
INSTALLER_RECORDS='\\Installer(\\|\])|\\Uninstall\\|\\Control\\Video\\'

# Wine registers some of its own parts when a program first needs them (the
# script host's type libraries, display devices, the installer service):
# the programs of the test run once before the first snapshot.
wine_run cscript //nologo "$(winpath "$IT_DIR/vbs/progid.vbs")" >/dev/null 2>&1
wine_run msiexec /x "$(winpath "$MSI")" /qn >/dev/null 2>&1
check "snapshot before the install" snapshot before
start=$SECONDS
check "msiexec /i installs silently" wine_run msiexec /i "$(winpath "$MSI")" /qn
log "install took $((SECONDS - start)) s"
INSTALLED="$WINEPREFIX/drive_c/Program Files/qlrcom32"
for f in qlrcom32.ocx qlrshm32.dll qlrtrace.exe qlrcom32.tlb qlrcom32_h.h qlrcom32_i.c GUIDE.txt THIRD-PARTY-NOTICES.txt; do
  check "installed $f" test -f "$INSTALLED/$f"
done
check "registry entries as self-registration writes them" \
  wine_run "$BIN/regcheck.exe" registered 'C:\Program Files\qlrcom32\qlrcom32.ocx'
run_host progid '^2 passed, 0 failed' cscript //nologo "$(winpath "$IT_DIR/vbs/progid.vbs")"
check "snapshot after the install" snapshot installed
added="$(diff "$WORK/HKLM-before.txt" "$WORK/HKLM-installed.txt" | grep '^> \[')"
echo "[msi] HKLM keys added by the install: $(grep -c . <<<"$added"), of them the product's classes, type library and interfaces $(grep -c -i -E 'Classes\\(Wow6432Node\\)?(CLSID|TypeLib|Interface|QLRCom|CommSettings)' <<<"$added"), Windows Installer's records $(grep -c -E "$INSTALLER_RECORDS" <<<"$added"); HKCU keys added: $(diff "$WORK/HKCU-before.txt" "$WORK/HKCU-installed.txt" | grep -c '^> \[')"

start=$SECONDS
check "msiexec /x uninstalls silently" wine_run msiexec /x "$(winpath "$MSI")" /qn
log "uninstall took $((SECONDS - start)) s"
check "snapshot after the uninstall" snapshot after
# (The module's identifiers are read from the built one: the installed one is gone.)
check "nothing of the control registered after the uninstall" \
  wine_run "$BIN/regcheck.exe" clean "$(winpath "$OCX")"
check "the files are as before the install" diff "$WORK/files-before.txt" "$WORK/files-after.txt"
for key in HKLM HKCU; do
  diff "$WORK/$key-before.txt" "$WORK/$key-after.txt" > "$WORK/$key.diff"
  left="$(grep '^[<>] \[' "$WORK/$key.diff" | grep -v -E "$INSTALLER_RECORDS" || true)"
  check "$key keys as before the install (Windows Installer's own records aside)" test -z "$left"
  [ -n "$left" ] && echo "$left" | head -20
  echo "[msi] $key keys differing after the uninstall: $(grep -c '^[<>] \[' "$WORK/$key.diff"), Windows Installer's records: $(grep '^[<>] \[' "$WORK/$key.diff" | grep -c -E "$INSTALLER_RECORDS")"
  grep '^[<>] \[' "$WORK/$key.diff" | head -10 | sed 's/^/    /'
done
finish
