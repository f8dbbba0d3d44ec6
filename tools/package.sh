#!/usr/bin/env bash
# Builds the shipped files of both architectures and writes the packages
#   dist/qlrcom32-<version>-x86.zip, dist/qlrcom32-<version>-x64.zip
#   dist/SHA256SUMS (the two zips)
# Each zip holds one folder qlrcom32-<version>-<arch>/ with the control, the
# trace library and viewer, the client SDK, GUIDE.txt and SHA256SUMS.
#
#   tools/package.sh [-j N] [--builds DIR] [--out DIR]
#     --builds DIR   parent of build-x64/ and build-x86/ (default: the repository);
#                    a folder not yet configured is configured Release, no tests
#     --out DIR      where the zips go (default: dist/)
#
# The output is reproducible: the same commit packaged in any folder gives the
# same bytes (fixed time stamps from the commit, fixed order and modes, no
# extra zip fields). SOURCE_DATE_EPOCH, when set, overrides the commit time.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="$(nproc 2>/dev/null || echo 2)"
BUILDS="$ROOT"
OUT="$ROOT/dist"
while [ $# -gt 0 ]; do
  case "$1" in
    -j) JOBS="$2"; shift 2 ;;
    --builds) BUILDS="$2"; shift 2 ;;
    --out) OUT="$2"; shift 2 ;;
    *) sed -n '2,15p' "${BASH_SOURCE[0]}"; exit 2 ;;
  esac
done
BUILDS="$(realpath -m "$BUILDS")"
OUT="$(realpath -m "$OUT")"
die() { echo "package: $*" >&2; exit 1; }

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH="$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null || true)"
  # Outside a checkout: a fixed date (zip cannot store times before 1980).
  : "${SOURCE_DATE_EPOCH:=946684800}"
fi
export SOURCE_DATE_EPOCH

build_arch() {  # build_arch ARCH TOOLCHAIN
  local dir="$BUILDS/build-$1" type
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    mkdir -p "$dir"
    cmake -S "$ROOT" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$2" \
          -DQLR_WERROR=ON -DQLR_BUILD_TESTS=OFF </dev/null >"$dir.configure.log" 2>&1 \
      || { cat "$dir.configure.log" >&2; die "configuring $dir failed"; }
  fi
  type="$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$dir/CMakeCache.txt")"
  [ "$type" = "Release" ] || die "$dir is configured as '${type}'; the package ships the Release build"
  cmake --build "$dir" -j "$JOBS" --target qlrcom32 qlrshm32 qlrtrace qlr_sdk </dev/null \
    || die "building $dir failed"
}

version_of() {  # the project version, as the version resource has it
  sed -n 's/^#define QLR_VERSION_NUMBERS \([0-9]*\),\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1.\2.\3.\4/p' \
    "$1/resources/generated/qlr_version.h"
}

stage_zip() {  # stage_zip ARCH BITS VERSION
  local arch="$1" bits="$2" version="$3" dir="$BUILDS/build-$1"
  local name="qlrcom32-$version-$arch" stage f
  stage="$dir/package/$name"
  rm -rf "$dir/package"; mkdir -p "$stage"
  cp "$dir/qlrcom32.ocx" "$dir/qlrshm32.dll" "$dir/qlrtrace.exe" \
     "$dir/sdk/qlrcom32.tlb" "$dir/sdk/qlrcom32_h.h" "$dir/sdk/qlrcom32_i.c" "$stage/"
  # The guide for Windows: CRLF line ends, UTF-8 with a byte-order mark.
  { printf '\xef\xbb\xbf'
    sed -e "s/@VERSION@/$version/g" -e "s/@ARCH@/$arch/g" -e "s/@BITS@/$bits/g" -e 's/$/\r/' \
      "$ROOT/tools/package/GUIDE.txt"; } > "$stage/GUIDE.txt"
  FILES=(qlrcom32.ocx qlrshm32.dll qlrtrace.exe qlrcom32.tlb qlrcom32_h.h qlrcom32_i.c GUIDE.txt)
  ( cd "$stage" && sha256sum "${FILES[@]}" | sed 's/$/\r/' > SHA256SUMS )
  FILES+=(SHA256SUMS)
  chmod 755 "$stage"; for f in "${FILES[@]}"; do chmod 644 "$stage/$f"; done
  touch -h -d "@$SOURCE_DATE_EPOCH" "$stage" "${FILES[@]/#/$stage/}"
  mkdir -p "$OUT"
  rm -f "$OUT/$name.zip"
  # -X: no extra fields (owner, extended times); -D: no folder entries; times
  # taken in UTC so that they do not depend on the machine's time zone.
  ( cd "$dir/package" && TZ=UTC LC_ALL=C zip -q -X -D -9 "$OUT/$name.zip" "${FILES[@]/#/$name/}" ) \
    || die "writing $OUT/$name.zip failed"
  touch -d "@$SOURCE_DATE_EPOCH" "$OUT/$name.zip"
  echo "package: $OUT/$name.zip ($(stat -c %s "$OUT/$name.zip") bytes)"
}

command -v zip >/dev/null || die "zip is missing (tools/install-deps.sh)"
build_arch x64 mingw-x86_64.cmake
build_arch x86 mingw-i686.cmake
V64="$(version_of "$BUILDS/build-x64")"; V86="$(version_of "$BUILDS/build-x86")"
[ -n "$V64" ] && [ "$V64" = "$V86" ] || die "no common project version ('$V64', '$V86')"
stage_zip x64 64 "$V64"
stage_zip x86 32 "$V64"
( cd "$OUT" && sha256sum "qlrcom32-$V64-x86.zip" "qlrcom32-$V64-x64.zip" > SHA256SUMS )
echo "package: $OUT/SHA256SUMS"
