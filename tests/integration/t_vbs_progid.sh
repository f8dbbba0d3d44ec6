#!/usr/bin/env bash
# CreateObject through the versioned and the version-independent ProgID.
# (Wine's CLSIDFromProgID reads HKCR\<ProgID>\CLSID only and does not follow
# CurVer, so the version-independent ProgID needs its own CLSID subkey.)
. "$(dirname "$0")/lib.sh"
need_ocx
setup_prefix || { fail "prefix set up"; finish; }
check "module registers" register_ocx
run_host progid '^2 passed, 0 failed' cscript //nologo "$(winpath "$IT_DIR/vbs/progid.vbs")"
finish
