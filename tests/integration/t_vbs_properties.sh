#!/usr/bin/env bash
# The control from a script host: defaults, round trips, read-only members.
. "$(dirname "$0")/lib.sh"
need_ocx
setup_prefix || { fail "prefix set up"; finish; }
check "module registers" register_ocx
run_host properties '^83 passed, 0 failed' cscript //nologo "$(winpath "$IT_DIR/vbs/properties.vbs")"
finish
