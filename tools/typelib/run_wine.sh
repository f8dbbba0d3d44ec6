#!/bin/sh
# Runs a build-time Windows tool under wine, in the build tree's own prefix.
#
#   run_wine.sh <prefix> <log> <program.exe> [arguments...]
#
# The prefix is created on first use. The tool's output goes to <log> (shown
# when it fails), and standard input is /dev/null, so that no wine process
# keeps the build tool's pipes open. Type-library strings are stored in the
# ANSI code page, which under wine follows LC_ALL: Japanese (932).
set -u
if [ $# -lt 3 ]; then
    echo "usage: $0 <prefix> <log> <program.exe> [arguments...]" >&2
    exit 2
fi
prefix=$1
log=$2
shift 2

mkdir -p "$prefix" || exit 1
WINEPREFIX=$prefix
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="
LC_ALL=ja_JP.UTF-8
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES LC_ALL

"${QLR_WINE:-wine}" "$@" </dev/null >"$log" 2>&1
rc=$?
if [ $rc -ne 0 ]; then
    cat "$log" >&2
    echo "$0: $* failed with status $rc" >&2
fi
exit $rc
