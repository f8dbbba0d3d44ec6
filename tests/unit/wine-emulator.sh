#!/usr/bin/env bash
# Runs a unit-test program under Wine in the build tree's private prefix
# (never ~/.wine), with every COM port mapped away from real devices.
# Usage: wine-emulator.sh BUILD_DIR PROGRAM [ARGS...]
#
# A test run (not a listing) is judged by googletest's summary as well as by
# its exit status:
# - a program that printed its summary and has not exited QLR_EXIT_GRACE
#   seconds later (default 30) hangs in Wine's process exit, after every test
#   has run: it is ended, a line says so, and the summary's verdict stands;
# - a program that exits with 0 without a summary was killed from outside
#   (a Wine process killed with its server reports 0): that is a failure.
# A hang before the summary still ends by ctest's time-out.
set -u
build_dir="$1"; shift
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
export QLR_BUILD_DIR="$build_dir"
# shellcheck source=../../tools/wine-prefix.sh
. "$root/tools/wine-prefix.sh"
prefix="$(qlr_default_prefix)"
qlr_prefix_init "$prefix" >/dev/null || exit 1
qlr_wine_env "${QLR_ACP:-1252}"
export WINEPREFIX="$prefix"
qlr_server_start "$prefix"

case " $* " in
  *" --gtest_list_tests "*) QLR_WINE_TIMEOUT=300 qlr_wine "$@"; exit ;;
esac

grace="${QLR_EXIT_GRACE:-30}"
out="$(mktemp)"
trap 'rm -f "$out"' EXIT

# run_once: runs the program into $out, ending a hang after its summary;
# prints nothing. Returns the exit status, or 200/201 for an ended hang that
# passed/failed.
run_once() {
  : >"$out"
  QLR_WINE_TIMEOUT=300 qlr_wine "$@" >"$out" 2>&1 &
  local pid=$! summary_seen=""
  while kill -0 "$pid" 2>/dev/null; do
    if [ -z "$summary_seen" ] && grep -qE '^\[==========\] [0-9]+ tests? from .* ran\.' "$out"; then
      summary_seen=$SECONDS
    fi
    if [ -n "$summary_seen" ] && [ $((SECONDS - summary_seen)) -ge "$grace" ]; then
      pkill -TERM -P "$pid" 2>/dev/null  # timeout passes it on, then kills after 5 s
      wait "$pid" 2>/dev/null
      if grep -qE '^\[  PASSED  \] [0-9]+ tests?\.' "$out" && ! grep -qE '^\[  FAILED  \]' "$out"; then
        return 200
      fi
      return 201
    fi
    sleep 0.2  # polling the program's output for its summary
  done
  wait "$pid"
}

run_once "$@"
st=$?
# Wine that fails before the program's first line, with nothing said (seen once
# on a loaded machine: 0.4 s, no output), ran no test: it runs again, once. A
# program that fails at its start fails the second time too.
if [ "$st" -ne 0 ] && [ "$st" -lt 200 ] && [ ! -s "$out" ]; then
  echo "wine-emulator: Wine ended with $st before the program printed anything; running it again"
  run_once "$@"
  st=$?
fi
cat "$out"
if [ "$st" -ge 200 ]; then
  echo "wine-emulator: the program printed its summary and had not exited ${grace} s later; ended it"
  [ "$st" -eq 200 ] && exit 0
  exit 1
fi
if [ "$st" -eq 0 ] && ! grep -qE '^\[==========\] [0-9]+ tests? from .* ran\.' "$out"; then
  echo "wine-emulator: the program exited with 0 without googletest's summary (killed from outside?)"
  exit 1
fi
exit "$st"
