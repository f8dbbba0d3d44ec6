#!/usr/bin/env bash
# Settings saved by one process into a compound file come back in another,
# where Wine's ATL host loads the control from the saved stream; an edit made
# in between by a container that saves only dirty objects comes back too.
. "$(dirname "$0")/lib.sh"
need_ocx
[ -f "$BIN/persist_host.exe" ] || skip "persist_host.exe not built (no generated header)"
setup_prefix || { fail "prefix set up"; finish; }
check "module registers" register_ocx
file="$WORK/form.stg"
rm -f "$file"
wine_run "$BIN/persist_host.exe" save "$(winpath "$file")" | tee "$WORK/save.log"
check "save run reports no failure" test "${PIPESTATUS[0]}" -eq 0
check "compound file written" test -s "$file"
run_host edit ' passed, 0 failed' "$BIN/persist_host.exe" edit "$(winpath "$file")"
run_host load ' passed, 0 failed' "$BIN/persist_host.exe" load "$(winpath "$file")"
finish
