#!/usr/bin/env bash
# CreateObject through the versioned and the version-independent ProgID.
# (Wine's CLSIDFromProgID reads HKCR\<ProgID>\CLSID only and does not follow
# CurVer, so the version-independent ProgID needs its own CLSID subkey.)
. "$(dirname "$0")/lib.sh"
need_ocx
setup_prefix || { fail "prefix set up"; finish; }
check "module registers" register_ocx
wine_run cscript //nologo "$(winpath "$IT_DIR/vbs/progid.vbs")" | tee "$WORK/progid.log"
st=${PIPESTATUS[0]}
check "progid.vbs reports no failure (exit status $st)" test "$st" -eq 0
check "progid.vbs ran both checks" grep -q '^2 passed, 0 failed' "$WORK/progid.log"
finish
