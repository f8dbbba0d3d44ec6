#!/usr/bin/env bash
# Installs everything qlrcom32 needs on a fresh Debian 12 machine (run as root).
# Idempotent: when every package is present and the ja_JP.UTF-8 locale exists it
# returns at once without touching apt.
#   tools/install-deps.sh            the build, the tests, the demo, the package
#   tools/install-deps.sh --x86-tier also what the 32-bit tier needs on the host:
#                                    qemu-user 10 (bookworm-backports), debootstrap
# The package manager's output goes to a log; the terminal gets one progress
# line with the log's path (QLR_DEPS_LOG, default /tmp/qlrcom32-install-deps.log).
set -euo pipefail

X86_TIER=0
[ "${1:-}" = "--x86-tier" ] && X86_TIER=1
LOG="${QLR_DEPS_LOG:-${TMPDIR:-/tmp}/qlrcom32-install-deps.log}"

PACKAGES=(
  # cross toolchain (win32 and posix thread models), widl, windres, objdump
  mingw-w64 mingw-w64-tools binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  # Wine 8 (64-bit only: wine32 breaks /usr/bin/wine here), its IDL files
  wine wine64 libwine-dev
  # native side: build tools, the pty bridge, serial peers
  cmake make gcc libc6-dev socat lrzsz coreutils procps
  # network serial ports: RFC 2217 servers (ser2net, pyserial's) as test peers
  ser2net python3-serial
  # ss: whether a test server listens yet
  iproute2
  # the MSI packages (faketime: their time stamps from the commit), the
  # signing test's throw-away certificate
  wixl msitools faketime openssl
  googletest
  # Japanese text: fonts for dialogs, locale for code page 932
  fonts-ipafont fonts-ipafont-gothic locales
  # optional display for tests that need a real X server
  xvfb xauth
  # the Windows packages
  zip unzip
  # the source format check (tools/check-format.sh)
  clang-format
)
LOCALE=ja_JP.UTF-8
BACKPORTS_LIST=/etc/apt/sources.list.d/qlrcom32-bookworm-backports.sources

installed() { dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q '^install ok installed$'; }
missing=()
for p in "${PACKAGES[@]}"; do installed "$p" || missing+=("$p"); done

# From bookworm-backports: osslsigncode (signing the packages; 2.9 signs and
# verifies MSIs and PE files alike), and for the 32-bit tier qemu-user: Debian
# 12's own (7.2) spends about a minute of CPU starting each Wine process, the
# backport (10) is fast enough.
backports_missing=()
installed osslsigncode || backports_missing+=(osslsigncode)
if [ $X86_TIER -eq 1 ]; then
  v="$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || true)"
  dpkg --compare-versions "${v:-0}" ge 1:10 || backports_missing+=(qemu-user)
  installed debootstrap || backports_missing+=(debootstrap)
fi

have_locale() { locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8'; }

if [ ${#missing[@]} -eq 0 ] && [ ${#backports_missing[@]} -eq 0 ] && have_locale; then
  echo "install-deps: all packages and the $LOCALE locale are present"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing: ${missing[*]:-} ${backports_missing[*]:-} ${LOCALE}; run this script as root" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
APT=(apt-get -o DPkg::Lock::Timeout=900 -q)
if [ ${#backports_missing[@]} -gt 0 ] && ! grep -rqs '^Suites:.*bookworm-backports\|^deb .* bookworm-backports' \
     /etc/apt/sources.list /etc/apt/sources.list.d/; then
  printf 'Types: deb\nURIs: http://deb.debian.org/debian\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    >"$BACKPORTS_LIST"
fi

# Everything apt and locale-gen print goes to the log.
install_all() {
  set -e
  if [ ${#missing[@]} -gt 0 ] || [ ${#backports_missing[@]} -gt 0 ]; then "${APT[@]}" update; fi
  if [ ${#missing[@]} -gt 0 ]; then "${APT[@]}" install -y --no-install-recommends "${missing[@]}"; fi
  if [ ${#backports_missing[@]} -gt 0 ]; then
    "${APT[@]}" install -y --no-install-recommends -t bookworm-backports "${backports_missing[@]}"
  fi
  if ! have_locale; then
    if [ -f /etc/locale.gen ] && grep -q "^# *$LOCALE UTF-8" /etc/locale.gen; then
      sed -i "s/^# *\($LOCALE UTF-8\)/\1/" /etc/locale.gen
    elif ! grep -q "^$LOCALE UTF-8" /etc/locale.gen 2>/dev/null; then
      echo "$LOCALE UTF-8" >> /etc/locale.gen
    fi
    locale-gen
  fi
}

what="$(( ${#missing[@]} + ${#backports_missing[@]} )) packages"
have_locale || what="$what and the $LOCALE locale"
: >"$LOG"
start=$SECONDS
( install_all ) </dev/null >>"$LOG" 2>&1 &
pid=$!
# One line: on a terminal it counts the packages set up so far.
if [ -t 1 ]; then
  while kill -0 "$pid" 2>/dev/null; do
    n=$(grep -c '^Setting up ' "$LOG" 2>/dev/null || true)
    printf '\rinstall-deps: installing %s: %s set up, %d s (log: %s)' "$what" "$n" $((SECONDS - start)) "$LOG"
    sleep 1
  done
  printf '\r\033[K'
fi
printf 'install-deps: installing %s (log: %s): ' "$what" "$LOG"
rc=0
wait "$pid" || rc=$?
if [ $rc -ne 0 ] || ! have_locale; then
  echo "failed after $((SECONDS - start)) s; the end of the log:"
  tail -n 20 "$LOG"
  exit 1
fi
echo "done in $((SECONDS - start)) s"
