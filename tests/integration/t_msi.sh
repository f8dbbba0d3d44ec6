#!/usr/bin/env bash
# The installers (dist/qlrcom32-<version>-{x64,x86}.msi, tools/package.sh)
# under Wine's msiexec, silently. x64: after the install the files are in
# Program Files\qlrcom32, the registry holds every entry that self-registration
# writes and a script host creates the control by both ProgIDs. x86 (a 32-bit
# package, whose module cannot run here): its files go to Program Files (x86)
# and its classes into the 32-bit registry view. After each uninstall the
# registry and the files are as they were before the install; the differences
# that remain are Windows Installer's own records (and a display device Wine
# records by itself), listed.
. "$(dirname "$0")/lib.sh"
need_ocx
VERSION="$(sed -n 's/^#define QLR_VERSION_NUMBERS \([0-9]*\),\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1.\2.\3.\4/p' \
  "$BUILD/resources/generated/qlr_version.h")"
DIST="${QLR_DIST:-$ROOT/dist}"
[ -f "$DIST/qlrcom32-$VERSION-x64.msi" ] || skip "$DIST/qlrcom32-$VERSION-x64.msi not built (tools/package.sh)"
setup_prefix || { fail "prefix set up"; finish; }
CONTROL_CLSID='{B8E15D98-6585-49ED-8178-ADA511C917C9}'

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
INSTALLER_RECORDS='\\Installer(\\|\])|\\Uninstall(\\|\])|\\Control\\Video\\'
# Wine's msiexec also deletes the parent keys a removal leaves empty: in a
# fresh prefix the 32-bit view's CLSID root holds nothing else (on Windows it
# never is empty).
EMPTIED_ROOTS='^< \[HKEY_LOCAL_MACHINE\\Software\\(Classes\\Wow6432Node|Wow6432Node\\Classes)\\CLSID\]$'
FILES=(qlrcom32.ocx qlrshm32.dll qlrtrace.exe qlrcom32.tlb qlrcom32_h.h qlrcom32_i.c GUIDE.txt THIRD-PARTY-NOTICES.txt)

# Wine registers some of its own parts when a program first needs them (the
# script host's type libraries, display devices, the installer service):
# the programs of the test run once before the first snapshot.
wine_run cscript //nologo "$(winpath "$IT_DIR/vbs/progid.vbs")" >/dev/null 2>&1
wine_run msiexec /x "$(winpath "$DIST/qlrcom32-$VERSION-x64.msi")" /qn >/dev/null 2>&1

for arch in x64 x86; do
  MSI="$DIST/qlrcom32-$VERSION-$arch.msi"
  check "$arch: snapshot before the install" snapshot "$arch-before"
  start=$SECONDS
  check "$arch: msiexec /i installs silently" wine_run msiexec /i "$(winpath "$MSI")" /qn
  log "$arch: install took $((SECONDS - start)) s"
  if [ $arch = x64 ]; then
    INSTALLED="$WINEPREFIX/drive_c/Program Files/qlrcom32"
    check "x64: registry entries as self-registration writes them" \
      wine_run "$BIN/regcheck.exe" registered 'C:\Program Files\qlrcom32\qlrcom32.ocx'
    run_host progid '^2 passed, 0 failed' cscript //nologo "$(winpath "$IT_DIR/vbs/progid.vbs")"
  else
    INSTALLED="$WINEPREFIX/drive_c/Program Files (x86)/qlrcom32"
    check "x86: the control's class is in the 32-bit view, naming the installed module" \
      bash -c '"$@" | tr -d "\r" | grep -qi "(x86)\\\\qlrcom32\\\\qlrcom32.ocx$"' _ \
      timeout 60 wine reg query "HKCR\\CLSID\\$CONTROL_CLSID\\InprocServer32" /ve /reg:32
    check "x86: no class in the 64-bit view" bash -c '! "$@" >/dev/null 2>&1' _ \
      timeout 60 wine reg query "HKCR\\CLSID\\$CONTROL_CLSID" /reg:64
  fi
  missing=""
  for f in "${FILES[@]}"; do [ -f "$INSTALLED/$f" ] || missing="$missing $f"; done
  check "$arch: all ${#FILES[@]} files installed in ${INSTALLED#"$WINEPREFIX/drive_c/"}${missing:+ (missing:$missing)}" test -z "$missing"
  check "$arch: snapshot after the install" snapshot "$arch-installed"
  added="$(diff "$WORK/HKLM-$arch-before.txt" "$WORK/HKLM-$arch-installed.txt" | grep '^> \[')"
  echo "[msi] $arch: HKLM keys added by the install: $(grep -c . <<<"$added"), of them the product's classes, ProgIDs, type library and interfaces $(grep -c -i -E 'Classes\\(Wow6432Node\\)?(CLSID|TypeLib|Interface|QLRCom|CommSettings)' <<<"$added"), Windows Installer's records $(grep -c -E "$INSTALLER_RECORDS" <<<"$added"); HKCU keys added: $(diff "$WORK/HKCU-$arch-before.txt" "$WORK/HKCU-$arch-installed.txt" | grep -c '^> \[')"

  start=$SECONDS
  check "$arch: msiexec /x uninstalls silently" wine_run msiexec /x "$(winpath "$MSI")" /qn
  log "$arch: uninstall took $((SECONDS - start)) s"
  check "$arch: snapshot after the uninstall" snapshot "$arch-after"
  # (The module's identifiers are read from the built one: the installed one is gone.)
  check "$arch: nothing of the control registered after the uninstall" \
    wine_run "$BIN/regcheck.exe" clean "$(winpath "$OCX")"
  check "$arch: the files are as before the install" \
    diff "$WORK/files-$arch-before.txt" "$WORK/files-$arch-after.txt"
  for key in HKLM HKCU; do
    diff "$WORK/$key-$arch-before.txt" "$WORK/$key-$arch-after.txt" > "$WORK/$key-$arch.diff"
    left="$(grep '^[<>] \[' "$WORK/$key-$arch.diff" | grep -v -E "$INSTALLER_RECORDS" \
      | grep -v -E "$EMPTIED_ROOTS" || true)"
    check "$arch: $key keys as before the install (Windows Installer's own records aside)" test -z "$left"
    [ -n "$left" ] && echo "$left" | head -20
    echo "[msi] $arch: $key keys differing after the uninstall: $(grep -c '^[<>] \[' "$WORK/$key-$arch.diff"), Windows Installer's records: $(grep '^[<>] \[' "$WORK/$key-$arch.diff" | grep -c -E "$INSTALLER_RECORDS")"
    grep '^[<>] \[' "$WORK/$key-$arch.diff" | head -12 | sed 's/^/    /'
  done
done
finish
