#!/usr/bin/env bash
# The properties verb in a container without a frame of its own: the system's
# property frame over the control, under a virtual X display, with the
# CommSettings page checked inside it; screenshots of the page and the frame
# are kept as artifacts.
. "$(dirname "$0")/lib.sh"
need_ocx
[ -f "$BIN/page_host.exe" ] || skip "page_host.exe not built (no generated header)"
command -v Xvfb >/dev/null || skip "Xvfb is not installed"

ACP=932 setup_prefix || { fail "prefix set up"; finish; }
check "module registers" register_ocx

# The prefix draws headless by default; this run needs a real (virtual) display.
wine_run reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11 /f >/dev/null 2>&1 \
  || { fail "graphics driver switched to x11"; finish; }
qlr_server_stop "$WINEPREFIX"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$WORK/display" >"$WORK/xvfb.log" 2>&1 &
CLEANUP_PIDS+=("$!")
for _ in $(seq 1 100); do [ -s "$WORK/display" ] && break; sleep 0.05; done
[ -s "$WORK/display" ] || skip "no virtual display could be started: $(cat "$WORK/xvfb.log")"
export DISPLAY=":$(head -n1 "$WORK/display")"
qlr_server_start "$WINEPREFIX" || { fail "wine server on $DISPLAY"; finish; }

shots="$BUILD/artifacts/screenshots"
mkdir -p "$shots"
rm -f "$shots"/commsettings_page.png "$shots"/commsettings_frame.png
run_host page_host ' passed, 0 failed' -t 60 "$BIN/page_host.exe" "$(winpath "$shots")"
is_png() { [ "$(head -c 8 "$1" 2>/dev/null | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ]; }
check "the page's screenshot is a PNG file" is_png "$shots/commsettings_page.png"
check "the frame's screenshot is a PNG file" is_png "$shots/commsettings_frame.png"
# Wine leaves the display before the display goes away.
qlr_server_stop "$WINEPREFIX"
finish
