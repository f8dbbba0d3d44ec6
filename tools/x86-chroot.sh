#!/usr/bin/env bash
# A 32-bit Wine for running the x86 module on a machine that cannot execute
# 32-bit code: an i386 Debian 12 chroot (its own wine and wine32) whose
# programs run under qemu-user, registered for i386 ELF files through
# binfmt_misc for as long as a caller needs it.
#
# Sourceable: `. tools/x86-chroot.sh` defines the qlr32_* functions.
# Callable:
#   tools/x86-chroot.sh setup [CHROOT]   host packages and the cached chroot
#   tools/x86-chroot.sh clean [CHROOT]   undo binfmt and mounts left behind
#
# What it touches on the host: qemu-user (bookworm-backports) and debootstrap
# are installed (tools/install-deps.sh --x86-tier); nothing i386 is, and the host's 64-bit Wine stays as it is.
# The binfmt entry `qlr-i386` and the chroot's mounts exist only between
# qlr32_enter and qlr32_leave. Only /dev/pts is bound into the chroot (the
# ptys of the bridges live there); the host's /dev, with the machine's console
# on ttyS0, never is: the chroot's /dev holds its own few device nodes.

QLR32_TOOLS_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
QLR32_ROOT="$(cd "$QLR32_TOOLS_DIR/.." && pwd)"
QLR32_VERSION=1                  # bump when the chroot's contents below change
QLR32_MIRROR="${QLR32_MIRROR:-http://deb.debian.org/debian}"
QLR32_PACKAGES="wine,wine32"
QLR32_BINFMT_NAME=qlr-i386
QLR32_BINFMT=/proc/sys/fs/binfmt_misc
QLR32_LOCK=/run/lock/qlr-x86-chroot.lock
QLR32_QEMU=/usr/bin/qemu-i386
: "${QLR32_CHROOT:=${QLR_BUILD_DIR_X86:-$QLR32_ROOT/build-x86}/i386-chroot}"

qlr32_log() { echo "x86-chroot: $*" >&2; }

# Host side: qemu-user 10 from bookworm-backports and debootstrap.
qlr32_host_deps() { "$QLR32_ROOT/tools/install-deps.sh" --x86-tier </dev/null; }

# binfmt_misc entry for i386 ELF executables. F: the kernel opens qemu now,
# so it is found from inside the chroot too; P: argv[0] kept as Wine wants it.
qlr32_binfmt_on() {
  [ -d "$QLR32_BINFMT" ] || mkdir -p "$QLR32_BINFMT"
  [ -e "$QLR32_BINFMT/register" ] || mount -t binfmt_misc binfmt_misc "$QLR32_BINFMT" || return 1
  [ -e "$QLR32_BINFMT/$QLR32_BINFMT_NAME" ] && echo -1 > "$QLR32_BINFMT/$QLR32_BINFMT_NAME"
  printf ':%s:M::%s:%s:%s:PF\n' "$QLR32_BINFMT_NAME" \
    '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00' \
    '\xff\xff\xff\xff\xff\xfe\xfe\xfc\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff' \
    "$QLR32_QEMU" > "$QLR32_BINFMT/register"
}

qlr32_binfmt_off() {
  if [ -e "$QLR32_BINFMT/$QLR32_BINFMT_NAME" ]; then
    echo -1 > "$QLR32_BINFMT/$QLR32_BINFMT_NAME" || return 1
  fi
}

qlr32_mounted() { grep -q " $(realpath -m "$1") " /proc/self/mounts; }

# /proc (a fresh instance) and the host's /dev/pts; nothing else. The console
# node that debootstrap makes would reach the machine's console: removed.
qlr32_mount() {
  local dir="$1"
  rm -f "$dir/dev/console"
  mkdir -p "$dir/proc" "$dir/dev/pts"
  qlr32_mounted "$dir/proc" || mount -t proc proc "$dir/proc" || return 1
  if ! qlr32_mounted "$dir/dev/pts"; then
    mount --bind /dev/pts "$dir/dev/pts" && mount --make-private "$dir/dev/pts" || return 1
  fi
}

qlr32_umount() {
  local dir="$1" m rc=0
  # Deepest first; lazy only when a straggler still holds one open.
  for m in "$dir/dev/pts" "$dir/proc"; do
    if qlr32_mounted "$m"; then umount "$m" 2>/dev/null || umount -l "$m" || rc=1; fi
  done
  return $rc
}

qlr32_stamp() { echo "qlr-i386-chroot $QLR32_VERSION bookworm $QLR32_PACKAGES"; }
qlr32_ready() { [ -f "$1/.qlr-chroot" ] && [ "$(cat "$1/.qlr-chroot")" = "$(qlr32_stamp)" ]; }

# qlr32_create DIR: debootstrap (minbase) and the chroot's Wine. Needs binfmt
# on. Built in DIR.new and moved into place when complete.
qlr32_create() {
  local dir="$1" new="$1.new"
  qlr32_umount "$new" 2>/dev/null
  rm -rf "$new"
  mkdir -p "$new"
  qlr32_log "debootstrap i386 bookworm into $new (log $new.log)"
  if ! debootstrap --arch=i386 --variant=minbase bookworm "$new" "$QLR32_MIRROR" >"$new.log" 2>&1; then
    qlr32_log "debootstrap failed, see $new.log"; return 1
  fi
  qlr32_mount "$new" || return 1
  qlr32_log "installing ${QLR32_PACKAGES//,/ } in the chroot"
  if ! env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
       chroot "$new" sh -c "apt-get update -q && apt-get install -y -q --no-install-recommends ${QLR32_PACKAGES//,/ } && apt-get clean" \
       </dev/null >>"$new.log" 2>&1; then
    qlr32_umount "$new"; qlr32_log "installing Wine in the chroot failed, see $new.log"; return 1
  fi
  qlr32_umount "$new" || return 1
  qlr32_stamp > "$new/.qlr-chroot"
  rm -rf "$dir"
  mv "$new" "$dir"
}

# qlr32_enter [DIR]: host packages, binfmt, chroot (created when missing or
# stale), mounts. Holds the machine-wide lock until qlr32_leave (the binfmt
# entry is global). Callers set `trap qlr32_leave EXIT` first.
qlr32_enter() {
  local dir="${1:-$QLR32_CHROOT}"
  QLR32_CHROOT="$dir"
  qlr32_host_deps || { qlr32_log "installing qemu-user and debootstrap failed"; return 1; }
  mkdir -p "$(dirname "$QLR32_LOCK")"
  exec {QLR32_LOCK_FD}>"$QLR32_LOCK"
  flock -w 1800 "$QLR32_LOCK_FD" || { qlr32_log "another 32-bit run holds $QLR32_LOCK"; return 1; }
  QLR32_ENTERED=1
  qlr32_binfmt_on || { qlr32_log "registering qemu-i386 with binfmt_misc failed"; return 1; }
  if ! qlr32_ready "$dir"; then
    mkdir -p "$(dirname "$dir")"
    qlr32_create "$dir" || return 1
  fi
  qlr32_mount "$dir"
}

# Undoes qlr32_enter: mounts, binfmt entry, lock. Safe to call repeatedly.
qlr32_leave() {
  local rc=0
  [ -n "${QLR32_CHROOT:-}" ] && { qlr32_umount "$QLR32_CHROOT" || rc=1; qlr32_umount "$QLR32_CHROOT.new" || rc=1; }
  qlr32_binfmt_off || rc=1
  if [ -n "${QLR32_LOCK_FD:-}" ]; then exec {QLR32_LOCK_FD}>&-; unset QLR32_LOCK_FD; fi
  QLR32_ENTERED=
  return $rc
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -uo pipefail
  cmd="${1:-setup}"; [ -n "${2:-}" ] && QLR32_CHROOT="$(realpath -m "$2")"
  case "$cmd" in
    setup) trap qlr32_leave EXIT; qlr32_enter "$QLR32_CHROOT" && echo "$QLR32_CHROOT" ;;
    clean) qlr32_leave ;;
    *) sed -n '2,12p' "${BASH_SOURCE[0]}"; exit 2 ;;
  esac
fi
