#!/usr/bin/env bash
# Runs every test of qlrcom32 on this machine, from a fresh clone if need be:
# installs the dependencies (as root), builds the 64-bit and the 32-bit module
# (Release, the configuration that ships) with warnings as errors, checks the
# modules' exports, imports and hardening flags, writes the packages (zips and
# MSIs) to dist/ (tools/package.sh),
# creates the private Wine prefix and runs ctest (unit and integration tests)
# in the 64-bit build, then checks that the packages are reproducible, signs
# them with a throw-away certificate and verifies the signatures, and runs
# the 32-bit module under a 32-bit Wine (tests/x86/t_x86_module.sh; about 5 min
# the first time, QLR_X86_TIER=0 leaves it out). Exits non-zero when anything
# fails. Last, the sources are checked against .clang-format.
#   tools/test.sh [-j N] [CTEST_ARGS...]      e.g. tools/test.sh -L integration
# With CTEST_ARGS only ctest's selection runs after the build (no
# reproducibility check, no 32-bit tier).
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

JOBS="$(nproc 2>/dev/null || echo 2)"
if [ "${1:-}" = "-j" ]; then JOBS="$2"; shift 2; fi
: "${QLR_CTEST_TIMEOUT:=2400}"   # bound of the whole ctest run, seconds

step() { echo; echo "==== $*"; }
die() { echo "test.sh: $*" >&2; exit 1; }

step "dependencies"
if [ "$(id -u)" -eq 0 ]; then
  tools/install-deps.sh </dev/null || die "installing dependencies failed"
else
  tools/install-deps.sh </dev/null || die "dependencies missing; run tools/install-deps.sh as root"
fi

# Every Wine program of the build and the tests runs in the private prefix.
. tools/wine-prefix.sh
export QLR_BUILD_DIR="$ROOT/build-x64"
PREFIX="$(qlr_default_prefix)"
qlr_wine_env 1252
export WINEPREFIX="$PREFIX"

step "Wine prefix $PREFIX"
qlr_prefix_init "$PREFIX" || die "creating the Wine prefix failed"
# A server started now, detached from all pipes, serves the build and ctest.
qlr_server_start "$PREFIX" || die "starting the wineserver failed"
trap 'qlr_server_stop "$PREFIX"' EXIT

build() {  # build DIR TOOLCHAIN
  cmake -S . -B "$1" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$2" -DQLR_WERROR=ON \
        -DQLR_BUILD_TESTS=ON -DQLR_INTEGRATION_TESTS=ON </dev/null \
    && cmake --build "$1" -j "$JOBS" </dev/null
}
step "build x64 (build-x64)"
build build-x64 mingw-x86_64.cmake || die "64-bit build failed"
step "build x86 (build-x86)"
build build-x86 mingw-i686.cmake || die "32-bit build failed"

step "exports, imports and hardening flags"
tools/check-module.sh build-x64/qlrcom32.ocx build-x86/qlrcom32.ocx build-x64/qlrshm32.dll \
  build-x86/qlrshm32.dll build-x64/qlrtrace.exe build-x86/qlrtrace.exe || die "module check failed"

step "packages (dist/)"
tools/package.sh -j "$JOBS" || die "packaging failed"

step "ctest (build-x64)"
# The unit tests are one short Wine program each in this prefix: its desktop
# stays up for the whole run instead of starting and ending around each one
# (the integration tests have prefixes of their own).
qlr_desktop_hold "$PREFIX" || echo "test.sh: going on without a held desktop"
timeout -k 30 "$QLR_CTEST_TIMEOUT" ctest --test-dir build-x64 --output-on-failure -j "$JOBS" "$@" </dev/null
rc=$?
[ $rc -eq 124 ] && echo "test.sh: ctest exceeded ${QLR_CTEST_TIMEOUT}s"
[ $# -gt 0 ] && exit $rc

step "reproducible packages (a copy of the sources built elsewhere)"
tests/release/t_reproducible.sh -j "$JOBS" || rc=1

step "signed packages (a throw-away certificate, build-sign/)"
tests/release/t_signing.sh -j "$JOBS" || rc=1

if [ "${QLR_X86_TIER:-1}" != 0 ]; then
  step "32-bit tier (x86 module under a 32-bit Wine)"
  tests/x86/t_x86_module.sh || rc=1
fi

step "source format (.clang-format; tools/check-format.sh -v shows the differences)"
tools/check-format.sh || rc=1
exit $rc
