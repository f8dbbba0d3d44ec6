#!/usr/bin/env bash
# Checks built modules (the control, the trace library, the viewer) with
# objdump:
# - the control (qlrcom32.ocx) exports exactly DllCanUnloadNow,
#   DllGetClassObject, DllRegisterServer, DllUnregisterServer and DllInstall at
#   ordinals 1 to 5;
# - every module imports system DLLs only: no compiler runtime (libgcc_s,
#   libstdc++, libwinpthread) or any other DLL that a target system lacks;
# - every module is hardened, as its PE header says: DYNAMIC_BASE with a base
#   relocation table (the image can move), NX_COMPAT, on x64 HIGH_ENTROPY_VA,
#   and on x86 the NO_SEH flag (only where no code writes the head of the SEH
#   chain, %fs:0) or a load configuration that can carry the safe
#   exception-handler table.
# Usage: tools/check-module.sh MODULE...
set -uo pipefail
# The DLLs every supported Windows has (setupapi: the port list's device
# records; comdlg32: the viewer's file dialog; ws2_32: network ports).
SYSTEM_DLLS='kernel32|winmm|user32|gdi32|advapi32|ole32|oleaut32|comctl32|comdlg32|setupapi|cfgmgr32|shell32|msvcrt|ws2_32'
status=0
for module in "$@"; do
  if [ ! -f "$module" ]; then echo "check-module: $module: missing"; status=1; continue; fi
  case "$(file -b "$module")" in
    *x86-64*) objdump=x86_64-w64-mingw32-objdump ;;
    *80386*|*Intel\ i386*) objdump=i686-w64-mingw32-objdump ;;
    *) objdump=x86_64-w64-mingw32-objdump ;;
  esac
  dump="$("$objdump" -p "$module")" || { echo "check-module: $module: objdump failed"; status=1; continue; }
  exports="$(awk '
    /^Ordinal Base/ { base = $3 + 0 }
    /^\[Ordinal\/Name Pointer\] Table/ { names = 1; next }
    names && /^[[:space:]]*$/ { names = 0 }
    names && match($0, /\[ *[0-9]+\]/) {
      idx = substr($0, RSTART + 1, RLENGTH - 2) + 0
      rest = substr($0, RSTART + RLENGTH)
      if (match(rest, /\+base\[ *[0-9]+\]/)) {   # newer binutils print the ordinal itself
        ord = substr(rest, RSTART + 6, RLENGTH - 7) + 0
        rest = substr(rest, RSTART + RLENGTH)
      } else {
        ord = idx + base
      }
      gsub(/^[ \t]+|[ \t]+$/, "", rest)
      print ord, rest
    }' <<<"$dump" | sort -n)"
  want=$'1 DllCanUnloadNow\n2 DllGetClassObject\n3 DllRegisterServer\n4 DllUnregisterServer\n5 DllInstall'
  if [ "$(basename "$module")" != qlrcom32.ocx ]; then
    :  # the trace library and the viewer have exports of their own
  elif [ "$exports" = "$want" ]; then
    echo "check-module: $module: exports ok (${exports//$'\n'/, })"
  else
    echo "check-module: $module: exports wrong:"; echo "$exports" | sed 's/^/    /'
    echo "  expected:"; echo "$want" | sed 's/^/    /'
    status=1
  fi
  imports="$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | sort -u)"
  bad="$(grep -iE '^(libgcc_s|libstdc\+\+|libwinpthread)' <<<"$imports" || true)"
  foreign="$(grep -viE "^($SYSTEM_DLLS)\.dll$" <<<"$imports" || true)"
  if [ -n "$bad" ]; then
    echo "check-module: $module: imports compiler runtime DLLs: ${bad//$'\n'/, }"; status=1
  elif [ -n "$foreign" ]; then
    echo "check-module: $module: imports DLLs that are not part of Windows: ${foreign//$'\n'/, }"; status=1
  else
    echo "check-module: $module: imports ok (${imports//$'\n'/, })"
  fi
  flags="$(awk '/^DllCharacteristics/ { on = 1; next } on && /^[[:space:]]+[A-Z_]+$/ { print $1; next } { on = 0 }' <<<"$dump" | sort)"
  has() { grep -qx "$1" <<<"$flags"; }
  dir_size() { awk -v n="$1" '$1 == "Entry" && $2 == n { print $4; exit }' <<<"$dump"; }
  missing=()
  has DYNAMIC_BASE || missing+=(DYNAMIC_BASE)
  [ "$(dir_size 5)" != 00000000 ] && [ -n "$(dir_size 5)" ] || missing+=("base relocations")
  has NX_COMPAT || missing+=(NX_COMPAT)
  if [ "$objdump" = x86_64-w64-mingw32-objdump ]; then
    has HIGH_ENTROPY_VA || missing+=(HIGH_ENTROPY_VA)
  elif ! has NO_SEH && [ "$(dir_size a)" = 00000000 ]; then
    missing+=("NO_SEH or a safe exception-handler table")
  elif has NO_SEH && "$objdump" -d "$module" | grep -qE 'mov +%[a-z]+,%fs:0x0$'; then
    # The flag would be a lie: the code links a handler into the SEH chain.
    missing+=("NO_SEH although the code registers an SEH handler (writes %fs:0)")
  fi
  if [ ${#missing[@]} -eq 0 ]; then
    echo "check-module: $module: hardening ok (${flags//$'\n'/, }, base relocations)"
  else
    echo "check-module: $module: hardening missing: $(IFS=,; echo "${missing[*]}" | sed 's/,/, /g')"
    status=1
  fi
done
exit $status
