#!/usr/bin/env bash
# The control from a script host: defaults, round trips, read-only members.
. "$(dirname "$0")/lib.sh"
need_ocx
setup_prefix || { fail "prefix set up"; finish; }
check "module registers" register_ocx
wine_run cscript //nologo "$(winpath "$IT_DIR/vbs/properties.vbs")" | tee "$WORK/properties.log"
st=${PIPESTATUS[0]}
check "properties.vbs reports no failure (exit status $st)" test "$st" -eq 0
check "properties.vbs ran all 75 checks" grep -q '^75 passed, 0 failed' "$WORK/properties.log"
finish
