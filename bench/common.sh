# Sourced by the benchmark scripts: the build folder (first argument, default
# build-x64), the integration rig (tests/integration/lib.sh), OCX and EXE
# (bench/$BENCH_EXE), with a note when the build is not the shipped Release.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Absolute: the port mappings and Wine paths are made from it.
BUILD_DIR="$(realpath -m "${1:-$ROOT/build-x64}")"
grep -qs "^CMAKE_BUILD_TYPE:STRING=Release$" "$BUILD_DIR/CMakeCache.txt" \
  || echo "note: $BUILD_DIR is not a Release build; figures of the shipped module come from one"
set -- --build "$BUILD_DIR"
# shellcheck source=../tests/integration/lib.sh
. "$ROOT/tests/integration/lib.sh"
OCX="$BUILD_DIR/qlrcom32.ocx"
EXE="$BUILD_DIR/bench/$BENCH_EXE"
[ -f "$OCX" ] && [ -f "$EXE" ] || { echo "build first: cmake --build $BUILD_DIR"; exit 1; }
