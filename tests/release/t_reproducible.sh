#!/usr/bin/env bash
# Reproducible packages: the sources of this checkout, copied to another
# folder (another depth and name) and packaged there with fresh build trees
# (Release, no tests), give byte-identical modules, zips and installers to the
# packages in dist/ made by tools/package.sh from the build trees of the
# checkout.
#
#   tests/release/t_reproducible.sh [--dist DIR] [--work DIR] [-j N]
#     --dist DIR   where the checkout's packages are written (default: dist/)
#     --work DIR   where the copy is built (default: build-repro/; removed
#                  and made anew each run)
# Prints one line per check and a summary; exit status 0 when all passed.
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
DIST="$ROOT/dist"
WORK="$ROOT/build-repro"
JOBS="$(nproc 2>/dev/null || echo 2)"
while [ $# -gt 0 ]; do
  case "$1" in
    --dist) DIST="$(realpath -m "$2")"; shift 2 ;;
    --work) WORK="$(realpath -m "$2")"; shift 2 ;;
    -j) JOBS="$2"; shift 2 ;;
    *) sed -n '2,12p' "${BASH_SOURCE[0]}"; exit 2 ;;
  esac
done
OK=0
FAILED=0
check() { local what="$1"; shift; if "$@"; then OK=$((OK + 1)); echo "ok   $what"; else FAILED=$((FAILED + 1)); echo "FAIL $what"; fi; }
finish() { echo "[reproducible] $OK passed, $FAILED failed"; [ "$FAILED" -eq 0 ] && [ "$OK" -gt 0 ]; exit $?; }

# Both runs take their time stamps from the same commit.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH="$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null || echo 946684800)"
fi
export SOURCE_DATE_EPOCH

# The checkout's packages, made again with that time (its build trees are
# up to date after tools/test.sh: only the zips are written).
"$ROOT/tools/package.sh" -j "$JOBS" --out "$DIST" >/dev/null || { check "tools/package.sh in the checkout" false; finish; }
shopt -s nullglob
zips=("$DIST"/qlrcom32-*-x86.zip "$DIST"/qlrcom32-*-x64.zip)
check "two packages in $DIST" test ${#zips[@]} -eq 2
msis=("$DIST"/qlrcom32-*-x86.msi "$DIST"/qlrcom32-*-x64.msi)
check "two installers in $DIST" test ${#msis[@]} -eq 2

# The copy: the files git knows (tracked and new, not ignored), as they are now.
rm -rf "$WORK"
SRC="$WORK/elsewhere/qlr-sources"
mkdir -p "$SRC"
( cd "$ROOT" && git ls-files -z --cached --others --exclude-standard 2>/dev/null \
    | while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done \
    | tar --null -T - -cf - ) | tar -C "$SRC" -xf - \
  || { check "sources copied to $SRC" false; finish; }
[ -f "$SRC/CMakeLists.txt" ] || { check "sources copied to $SRC" false; finish; }

start=$SECONDS
"$SRC/tools/package.sh" -j "$JOBS" --builds "$WORK/b" --out "$WORK/dist" >"$WORK/package.log" 2>&1
st=$?
check "tools/package.sh in the copy (status $st, $((SECONDS - start)) s, log $WORK/package.log)" test $st -eq 0
[ $st -eq 0 ] || { tail -n 30 "$WORK/package.log"; finish; }

for z in "${zips[@]}"; do
  name="$(basename "$z")"
  arch="${name%.zip}"; arch="${arch##*-}"
  check "$name byte-identical" cmp "$z" "$WORK/dist/$name"
  for f in qlrcom32.ocx qlrshm32.dll qlrtrace.exe; do
    mine="$ROOT/build-$arch/$f"
    [ -f "$mine" ] && check "$arch $f byte-identical" cmp "$mine" "$WORK/b/build-$arch/$f"
  done
done
for m in "${msis[@]}"; do
  check "$(basename "$m") byte-identical" cmp "$m" "$WORK/dist/$(basename "$m")"
done
check "SHA256SUMS of the zips and installers identical" cmp "$DIST/SHA256SUMS" "$WORK/dist/SHA256SUMS"
# Nothing of either folder inside the modules.
for f in "$WORK"/b/build-x*/qlrcom32.ocx "$WORK"/b/build-x*/qlrshm32.dll "$WORK"/b/build-x*/qlrtrace.exe; do
  check "no build or source path in ${f#"$WORK"/b/}" \
    bash -c '! grep -aq -e "$1" -e "$2" -e "$3" "$4"' _ "$ROOT" "$WORK" "qlr-sources" "$f"
done
finish
