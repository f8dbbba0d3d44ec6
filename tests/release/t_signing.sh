#!/usr/bin/env bash
# Signing: tools/package.sh, given a throw-away self-signed code-signing
# certificate made here with openssl, signs the module, the trace library, the
# viewer and both installers and verifies each signature; this checks the
# signatures again, in the zips and in dist, and that an unsigned package of
# the same build is unchanged by it (signing goes to its own folder).
#
#   tests/release/t_signing.sh [--work DIR] [-j N]
#     --work DIR   where the certificate and the signed packages go
#                  (default: build-sign/; made anew each run)
# Prints one line per check and a summary; exit status 0 when all passed.
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
WORK="$ROOT/build-sign"
JOBS="$(nproc 2>/dev/null || echo 2)"
while [ $# -gt 0 ]; do
  case "$1" in
    --work) WORK="$(realpath -m "$2")"; shift 2 ;;
    -j) JOBS="$2"; shift 2 ;;
    *) sed -n '2,11p' "${BASH_SOURCE[0]}"; exit 2 ;;
  esac
done
OK=0
FAILED=0
check() { local what="$1"; shift; if "$@"; then OK=$((OK + 1)); echo "ok   $what"; else FAILED=$((FAILED + 1)); echo "FAIL $what"; fi; }
finish() { echo "[signing] $OK passed, $FAILED failed"; [ "$FAILED" -eq 0 ] && [ "$OK" -gt 0 ]; exit $?; }

rm -rf "$WORK"
mkdir -p "$WORK/dist" "$WORK/unzipped"
# A code-signing certificate valid for a day, with its key, nothing else.
check "a throw-away certificate is made" \
  openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=qlrcom32 test signing" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$WORK/key.pem" -out "$WORK/cert.pem" \
    2>"$WORK/openssl.log"
[ -f "$WORK/cert.pem" ] || { cat "$WORK/openssl.log"; finish; }

QLR_SIGN_CERT="$WORK/cert.pem" QLR_SIGN_KEY="$WORK/key.pem" \
  "$ROOT/tools/package.sh" -j "$JOBS" --out "$WORK/dist" >"$WORK/package.log" 2>&1
st=$?
check "tools/package.sh signs (status $st, log $WORK/package.log)" test $st -eq 0
[ $st -eq 0 ] || { tail -n 20 "$WORK/package.log"; finish; }
check "package.sh reports 8 signed and verified files" \
  test "$(grep -c '^package: signed and verified' "$WORK/package.log")" -eq 8

verify() { osslsigncode verify -CAfile "$WORK/cert.pem" -in "$1" >"$WORK/verify.log" 2>&1; }
shopt -s nullglob
for z in "$WORK"/dist/qlrcom32-*.zip; do
  unzip -q -o "$z" -d "$WORK/unzipped"
done
files=("$WORK"/dist/qlrcom32-*.msi "$WORK"/unzipped/*/qlrcom32.ocx "$WORK"/unzipped/*/qlrshm32.dll
       "$WORK"/unzipped/*/qlrtrace.exe)
check "two installers and two of each binary" test ${#files[@]} -eq 8
for f in "${files[@]}"; do
  check "signature of ${f#"$WORK"/} verifies" verify "$f"
done
# A signed file that was changed afterwards fails verification.
signed_ocx=("$WORK"/unzipped/*x64/qlrcom32.ocx)
cp "${signed_ocx[0]}" "$WORK/tampered.ocx"
printf '\xcc' | dd of="$WORK/tampered.ocx" bs=1 seek=8192 conv=notrunc status=none
check "a changed signed module does not verify" bash -c '! osslsigncode verify -CAfile "$1" -in "$2" >/dev/null 2>&1' _ "$WORK/cert.pem" "$WORK/tampered.ocx"
# The checksums in the zips are those of the signed files.
for d in "$WORK"/unzipped/*/; do
  check "SHA256SUMS of $(basename "$d") match the signed files" \
    bash -c 'cd "$1" && tr -d "\r" < SHA256SUMS | sha256sum -c --quiet -' _ "$d"
done
finish
