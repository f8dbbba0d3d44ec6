#!/usr/bin/env bash
# Checks that the product folders include only downwards:
#   platform, telnet <- port <- transfer, xmodem <- ymodem, zmodem <- control
# and, inside control, that its rooms do too:
#   control/com <- control/automation <- control/design; control/com <- control/registration
# (the link order catches calls between libraries; this catches headers).
# Exits non-zero and names every include that breaks it.
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

allowed() {  # allowed FOLDER -> the project folders its sources may include
    local below="framing platform port transfer xmodem ymodem zmodem resources"
    case "$1" in
        framing) echo "framing" ;;
        platform) echo "platform" ;;
        telnet) echo "telnet" ;;
        port) echo "platform port framing telnet" ;;
        transfer) echo "platform port transfer" ;;
        xmodem) echo "platform port xmodem resources" ;;
        ymodem) echo "platform port xmodem ymodem" ;;
        zmodem) echo "platform port xmodem zmodem" ;;
        control/com) echo "platform control/com" ;;
        control/automation) echo "$below control/com control/automation" ;;
        control/design) echo "$below control/com control/automation control/design" ;;
        control/registration) echo "$below control/com control/registration" ;;
    esac
}

rc=0
# Every source of control lives in one of its rooms.
for stray in control/*.h control/*.cpp; do
    [ -e "$stray" ] || continue
    echo "check-layers: $stray sits in control/ itself, outside its rooms" >&2
    rc=1
done
for folder in framing telnet platform port transfer xmodem ymodem zmodem control/com control/automation control/design control/registration; do
    ok=" $(allowed "$folder") "
    while IFS= read -r hit; do
        file="${hit%%:*}"
        target="$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"$hit")"
        top="${target%%/*}"
        [ "$top" = "$target" ] && continue   # a generated header beside the build
        if [ "$top" = control ]; then
            rest="${target#control/}"
            top="control/${rest%%/*}"
        fi
        case "$ok" in *" $top "*) ;; *)
            echo "check-layers: $file includes $target (against the layering at the top of tools/check-layers.sh)" >&2
            rc=1 ;;
        esac
    done < <(grep -HnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$folder"/*.h "$folder"/*.cpp 2>/dev/null)
done
exit $rc
