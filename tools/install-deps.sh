#!/usr/bin/env bash
# Installs everything qlrcom32 needs on a fresh Debian 12 machine (run as root).
# Idempotent: when every package is present and the ja_JP.UTF-8 locale exists it
# returns at once without touching apt.
set -euo pipefail

PACKAGES=(
  # cross toolchain (win32 and posix thread models), widl, windres, objdump
  mingw-w64 mingw-w64-tools binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  # Wine 8 (64-bit only: wine32 breaks /usr/bin/wine here), its IDL files
  wine wine64 libwine-dev
  # native side: build tools, the pty bridge, serial peers
  cmake make gcc libc6-dev socat lrzsz coreutils
  googletest
  # Japanese text: fonts for dialogs, locale for code page 932
  fonts-ipafont fonts-ipafont-gothic locales
  # optional display for tests that need a real X server
  xvfb xauth
)
LOCALE=ja_JP.UTF-8

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

have_locale() { locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8'; }

if [ ${#missing[@]} -eq 0 ] && have_locale; then
  echo "install-deps: all packages and the $LOCALE locale are present"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing: ${missing[*]:-} ${LOCALE}; run this script as root" >&2
  exit 1
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
fi

if ! have_locale; then
  echo "install-deps: generating $LOCALE"
  if [ -f /etc/locale.gen ] && grep -q "^# *$LOCALE UTF-8" /etc/locale.gen; then
    sed -i "s/^# *\($LOCALE UTF-8\)/\1/" /etc/locale.gen
  elif ! grep -q "^$LOCALE UTF-8" /etc/locale.gen 2>/dev/null; then
    echo "$LOCALE UTF-8" >> /etc/locale.gen
  fi
  locale-gen
  have_locale || { echo "install-deps: $LOCALE still missing after locale-gen" >&2; exit 1; }
fi
echo "install-deps: done"
