#!/usr/bin/env bash
# Builds the shipped files of both architectures and writes the packages
#   dist/qlrcom32-<version>-x86.zip, dist/qlrcom32-<version>-x64.zip
#   dist/qlrcom32-<version>-x86.msi, dist/qlrcom32-<version>-x64.msi
#   dist/SHA256SUMS (the zips and the installers)
# Each zip holds one folder qlrcom32-<version>-<arch>/ with the control, the
# trace library and viewer, the client SDK, GUIDE.txt, the third-party
# notices, the assembly manifest for registration-free use (qlrcom32.manifest)
# with a sample application manifest, and SHA256SUMS. Each installer (per
# machine) installs the same files into Program Files\qlrcom32 and writes the
# registration as registry rows exported from the module's own registration
# scripts and type library (build-*/deploy/, tools/regexport), never by
# self-registration; uninstalling removes exactly those rows and files.
#
# Signing: with QLR_SIGN_CERT (certificate, PEM or DER) and QLR_SIGN_KEY
# (private key, PEM or DER; QLR_SIGN_PASS its password, QLR_SIGN_TIMESTAMP an
# optional RFC 3161 time-stamp server URL) the module, the trace library, the
# viewer and the installers are signed with osslsigncode and each signature is
# verified against the certificate (QLR_SIGN_CA, default the certificate
# itself). Without them nothing is signed and the output is reproducible.
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
  cmake --build "$dir" -j "$JOBS" --target qlrcom32 qlrshm32 qlrtrace qlr_sdk qlr_deploy </dev/null \
    || die "building $dir failed"
}

version_of() {  # the project version, as the version resource has it
  sed -n 's/^#define QLR_VERSION_NUMBERS \([0-9]*\),\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1.\2.\3.\4/p' \
    "$1/resources/generated/qlr_version.h"
}

SIGNING=0
if [ -n "${QLR_SIGN_CERT:-}${QLR_SIGN_KEY:-}" ]; then
  [ -f "${QLR_SIGN_CERT:-}" ] && [ -f "${QLR_SIGN_KEY:-}" ] \
    || die "QLR_SIGN_CERT and QLR_SIGN_KEY must both name files"
  command -v osslsigncode >/dev/null || die "osslsigncode is missing (tools/install-deps.sh)"
  SIGNING=1
fi

sign() {  # sign FILE: signs in place and verifies the signature
  local f="$1" args=(-certs "$QLR_SIGN_CERT" -key "$QLR_SIGN_KEY" -n "qlrcom32" -h sha256)
  [ -n "${QLR_SIGN_PASS:-}" ] && args+=(-pass "$QLR_SIGN_PASS")
  [ -n "${QLR_SIGN_TIMESTAMP:-}" ] && args+=(-ts "$QLR_SIGN_TIMESTAMP")
  rm -f "$f.signed"
  osslsigncode sign "${args[@]}" -in "$f" -out "$f.signed" >"$f.sign.log" 2>&1 \
    || { cat "$f.sign.log" >&2; die "signing $f failed"; }
  mv -f "$f.signed" "$f"
  osslsigncode verify -CAfile "${QLR_SIGN_CA:-$QLR_SIGN_CERT}" -in "$f" >"$f.sign.log" 2>&1 \
    || { cat "$f.sign.log" >&2; die "the signature of $f does not verify"; }
  rm -f "$f.sign.log"
  echo "package: signed and verified $(basename "$f")"
}

text_for_windows() {  # text_for_windows SRC DEST [sed args]: CRLF, UTF-8 with a byte-order mark
  local src="$1" dest="$2"; shift 2
  { printf '\xef\xbb\xbf'; sed "$@" -e 's/$/\r/' "$src"; } > "$dest"
}

stage_zip() {  # stage_zip ARCH BITS VERSION
  local arch="$1" bits="$2" version="$3" dir="$BUILDS/build-$1"
  local name="qlrcom32-$version-$arch" stage f
  stage="$dir/package/$name"
  rm -rf "$dir/package"; mkdir -p "$stage"
  cp "$dir/qlrcom32.ocx" "$dir/qlrshm32.dll" "$dir/qlrtrace.exe" \
     "$dir/sdk/qlrcom32.tlb" "$dir/sdk/qlrcom32_h.h" "$dir/sdk/qlrcom32_i.c" \
     "$dir/deploy/qlrcom32.manifest" "$stage/"
  [ $SIGNING -eq 1 ] && for f in qlrcom32.ocx qlrshm32.dll qlrtrace.exe; do sign "$stage/$f"; done
  text_for_windows "$ROOT/tools/package/GUIDE.txt" "$stage/GUIDE.txt" \
    -e "s/@VERSION@/$version/g" -e "s/@ARCH@/$arch/g" -e "s/@BITS@/$bits/g"
  text_for_windows "$ROOT/tools/package/THIRD-PARTY-NOTICES.txt" "$stage/THIRD-PARTY-NOTICES.txt"
  # An application's manifest that makes it use the module without registration.
  sed -e "s/@VERSION@/$version/g" -e "s/@PROCESSOR@/$([ "$arch" = x64 ] && echo amd64 || echo x86)/g" \
      -e 's/$/\r/' "$ROOT/tools/package/sample-app.exe.manifest" > "$stage/sample-app.exe.manifest"
  FILES=(qlrcom32.ocx qlrshm32.dll qlrtrace.exe qlrcom32.tlb qlrcom32_h.h qlrcom32_i.c GUIDE.txt
         THIRD-PARTY-NOTICES.txt qlrcom32.manifest sample-app.exe.manifest)
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

# build_msi ARCH VERSION: the installer, from the staged files of the zip and
# the exported registry rows. wixl and msibuild take the time from the clock:
# faketime gives them the commit's, and the package and product codes are
# derived from the version, so that the same commit gives the same bytes.
build_msi() {
  local arch="$1" version="$2" dir="$BUILDS/build-$1"
  local stage="$dir/package/qlrcom32-$version-$arch" work="$dir/package/msi"
  local msi="$OUT/qlrcom32-$version-$arch.msi" when pf win64 key
  when="$(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S')"
  guid() {  # a fixed GUID for a name
    sha256sum <<<"qlrcom32 $1" | sed -E 's/^(.{8})(.{4}).(.{3}).(.{3})(.{12}).*/{\1-\2-4\3-8\4-\5}/' \
      | tr a-f A-F
  }
  if [ "$arch" = x64 ]; then pf=ProgramFiles64Folder; win64=yes; else pf=ProgramFilesFolder; win64=no; fi
  mkdir -p "$work"
  { cat <<WXS
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="$(guid "product $version $arch")" Name="qlrcom32 $version ($arch)" Language="1041"
           Version="$version" Manufacturer="qlrcom32" UpgradeCode="$(guid "upgrade $arch")">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"
             Description="qlrcom32 $version ($arch)"/>
    <Media Id="1" Cabinet="qlrcom32.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="$pf">
        <Directory Id="INSTALLDIR" Name="qlrcom32">
          <Component Id="Control" Guid="$(guid "control $arch")" Win64="$win64">
            <File Id="qlrcom32.ocx" Name="qlrcom32.ocx" Source="qlrcom32.ocx" KeyPath="yes"/>
WXS
    sed -e '/^<\/\?Include>$/d' -e 's/^/            /' "$dir/deploy/registry.wxi"
    echo '          </Component>'
    echo "          <Component Id=\"Files\" Guid=\"$(guid "files $arch")\" Win64=\"$win64\">"
    for f in qlrshm32.dll qlrtrace.exe qlrcom32.tlb qlrcom32_h.h qlrcom32_i.c GUIDE.txt THIRD-PARTY-NOTICES.txt; do
      key=no; [ $f = qlrshm32.dll ] && key=yes
      echo "            <File Id=\"$f\" Name=\"$f\" Source=\"$f\" KeyPath=\"$key\"/>"
    done
    cat <<WXS
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Complete" Level="1"><ComponentRef Id="Control"/><ComponentRef Id="Files"/></Feature>
  </Product>
</Wix>
WXS
  } > "$work/qlrcom32.wxs"
  rm -f "$msi"
  ( cd "$stage" && faketime -f "@$when" wixl -a "$arch" -o "$msi" "$work/qlrcom32.wxs" ) \
    2>"$work/wixl.log" || { cat "$work/wixl.log" >&2; die "wixl failed for $arch"; }
  # The rows wixl cannot carry, added to its Registry table in code page 932:
  # the texts that are not ASCII (the verb), and the keys without values
  # (created with the control's component, deleted with it: name "*").
  printf '\r\n\r\n932\t_ForceCodepage\r\n' > "$work/_ForceCodepage.idt"
  local queries=() n=0 key name value
  sql() { [[ "$1" != *"'"* ]] || die "a quote in an installer row: $1"; printf '%s' "$1"; }
  # (Tabs as unit separators: read would merge the two tabs around an empty name.)
  while IFS=$'\037' read -r key name value; do
    [ -n "$key" ] || continue
    n=$((n + 1))
    queries+=(-q "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Value\`, \`Component_\`) VALUES ('regText$n', 0, '$(sql "$key")', '$(sql "$name")', '$(sql "$value")', 'Control')")
  done < <(tr -d '\r' < "$dir/deploy/registry-text.tsv" | tr '\t' '\037')
  while IFS= read -r key; do
    [ -n "$key" ] || continue
    n=$((n + 1))
    queries+=(-q "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('regEmptyKey$n', 0, '$(sql "$key")', '*', 'Control')")
  done < <(tr -d '\r' < "$dir/deploy/empty-keys.txt")
  faketime -f "@$when" msibuild "$msi" -i "$work/_ForceCodepage.idt" "${queries[@]}" \
    -s "qlrcom32 $version ($arch)" qlrcom32 "$([ "$arch" = x64 ] && echo x64 || echo Intel);1041" \
    "$(guid "package $version $arch")" || die "msibuild failed for $arch"
  [ $SIGNING -eq 1 ] && sign "$msi"
  touch -d "@$SOURCE_DATE_EPOCH" "$msi"
  echo "package: $msi ($(stat -c %s "$msi") bytes)"
}

command -v zip >/dev/null || die "zip is missing (tools/install-deps.sh)"
for tool in wixl msibuild faketime; do
  command -v $tool >/dev/null || die "$tool is missing (tools/install-deps.sh)"
done
build_arch x64 mingw-x86_64.cmake
build_arch x86 mingw-i686.cmake
V64="$(version_of "$BUILDS/build-x64")"; V86="$(version_of "$BUILDS/build-x86")"
[ -n "$V64" ] && [ "$V64" = "$V86" ] || die "no common project version ('$V64', '$V86')"
stage_zip x64 64 "$V64"
build_msi x64 "$V64"
stage_zip x86 32 "$V64"
build_msi x86 "$V64"
( cd "$OUT" && sha256sum "qlrcom32-$V64-x86.zip" "qlrcom32-$V64-x64.zip" \
    "qlrcom32-$V64-x86.msi" "qlrcom32-$V64-x64.msi" > SHA256SUMS )
echo "package: $OUT/SHA256SUMS"
