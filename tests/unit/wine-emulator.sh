#!/usr/bin/env bash
# Runs a unit-test program under Wine in the build tree's private prefix
# (never ~/.wine), with every COM port mapped away from real devices.
# Usage: wine-emulator.sh BUILD_DIR PROGRAM [ARGS...]
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
QLR_WINE_TIMEOUT=300 qlr_wine "$@"
