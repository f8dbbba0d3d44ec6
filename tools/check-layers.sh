#!/usr/bin/env bash
# Checks that the product folders include only downwards:
#   platform, telnet <- port <- transfer, xmodem <- control
# (the link order catches calls against the direction; this catches headers).
# Exits non-zero and names every include that breaks it.
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

allowed() {  # allowed FOLDER -> the project folders its sources may include
    case "$1" in
        platform) echo "platform" ;;
        telnet) echo "telnet" ;;
        port) echo "platform telnet port" ;;
        transfer) echo "platform port transfer" ;;
        xmodem) echo "platform port xmodem resources" ;;
    esac
}

rc=0
for folder in platform telnet port transfer xmodem; do
    ok=" $(allowed "$folder") "
    while IFS= read -r hit; do
        file="${hit%%:*}"
        target="$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"$hit")"
        top="${target%%/*}"
        [ "$top" = "$target" ] && continue   # a generated header beside the build
        case "$ok" in *" $top "*) ;; *)
            echo "check-layers: $file includes $target (against platform <- port <- transfer, xmodem <- control)" >&2
            rc=1 ;;
        esac
    done < <(grep -HnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$folder"/*.h "$folder"/*.cpp 2>/dev/null)
done
exit $rc
