#!/usr/bin/env bash
# Registration-free use: in a prefix where nothing of the control is
# registered, C++ hosts with an application manifest that depends on the
# module's assembly manifest (build-*/deploy/qlrcom32.manifest, as shipped)
# create the classes by ProgID and class identifier, read type information,
# set properties, get the verbs, user type and status bits, open a port on
# the bridge and get events, and send a file with XModem to rx. Nothing is
# registered afterwards.
XM_NO_REGISTER=1
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/xmodem_lib.sh"

MANIFEST="$BUILD/deploy/qlrcom32.manifest"
[ -f "$MANIFEST" ] || { fail "the assembly manifest $MANIFEST is built"; finish; }
VERSION="$(sed -n 's/.*name="qlrcom32" version="\([0-9.]*\)".*/\1/p' "$MANIFEST")"
APP="$WORK/app"
mkdir -p "$APP"
cp "$OCX" "$(dirname "$OCX")/qlrshm32.dll" "$MANIFEST" "$APP/"
for exe in regcheck cpp_client xmodem_host; do
  cp "$BIN/$exe.exe" "$APP/"
  sed -e "s/@VERSION@/$VERSION/g" -e 's/@PROCESSOR@/amd64/g' \
    "$ROOT/tools/package/sample-app.exe.manifest" > "$APP/$exe.exe.manifest"
done

check "nothing of the control is registered" wine_run "$BIN/regcheck.exe" clean "$(winpath "$OCX")"
run_host regcheck_host '^0 failed' "$APP/regcheck.exe" host "$(winpath "$APP/qlrcom32.ocx")"
# cpp_client opens COM4 (QcDeviceName 3, the bridge) and checks its events.
run_host cpp_client ' passed, 0 failed' "$APP/cpp_client.exe" 3

SRC="$WORK/src.bin"
make_file "$SRC" 4096
rm -f "$PEER_DIR/out.bin"
PEER_CMD=(rx -X -c out.bin)
XM_HOST="$APP/xmodem_host.exe"
if host "send 4096 bytes, CRC, 1K" send file="$(winpath "$SRC")" proto=3 blocks=4; then
  peer_wait 20; check "rx ends with success" test $? -eq 0
  padded "$SRC" 1024 >"$WORK/want.bin"
  same "file sent without registration" "$WORK/want.bin" "$PEER_DIR/out.bin"
fi
peer_kill
check "still nothing registered" wine_run "$BIN/regcheck.exe" clean "$(winpath "$OCX")"
finish
