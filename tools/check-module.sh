#!/usr/bin/env bash
# Checks the exports and imports of built modules with objdump:
# exactly DllCanUnloadNow, DllGetClassObject, DllRegisterServer and
# DllUnregisterServer at ordinals 1 to 4, and imports of system DLLs only: no
# compiler runtime (libgcc_s, libstdc++, libwinpthread) or any other DLL that a
# target system lacks.
# Usage: tools/check-module.sh MODULE...
set -uo pipefail
# The DLLs every supported Windows has (setupapi: the port list's device
# records; ws2_32: network ports).
SYSTEM_DLLS='kernel32|winmm|user32|gdi32|advapi32|ole32|oleaut32|comctl32|setupapi|cfgmgr32|shell32|msvcrt|ws2_32'
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
    }' <<<"$dump")"
  want=$'1 DllCanUnloadNow\n2 DllGetClassObject\n3 DllRegisterServer\n4 DllUnregisterServer'
  if [ "$exports" = "$want" ]; then
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
done
exit $status
