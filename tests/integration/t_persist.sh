#!/usr/bin/env bash
# Settings saved by one process into a compound file come back in another,
# where Wine's ATL host loads the control from the saved stream.
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
wine_run "$BIN/persist_host.exe" load "$(winpath "$file")" | tee "$WORK/load.log"
check "load run reports no failure" test "${PIPESTATUS[0]}" -eq 0
check "load run made its checks" grep -q ' passed, 0 failed' "$WORK/load.log"
finish
