#!/usr/bin/env bash
# The ANSI code page of Wine programs follows the locale given to them:
# ja_JP.UTF-8 gives 932, C.UTF-8 gives 1252.
. "$(dirname "$0")/lib.sh"

setup_prefix || { fail "prefix set up"; finish; }
out="$(qlr_wine_env 932 && wine_run "$BIN/porttool.exe" acp)"
check "ja_JP.UTF-8 gives ACP 932 ($out)" grep -q '^ACP=932 ' <<<"$out"
out="$(qlr_wine_env 1252 && wine_run "$BIN/porttool.exe" acp)"
check "C.UTF-8 gives ACP 1252 ($out)" grep -q '^ACP=1252 ' <<<"$out"
finish
