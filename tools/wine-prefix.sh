#!/usr/bin/env bash
# Private Wine prefixes for building and testing qlrcom32.
#
# Callable:
#   tools/wine-prefix.sh [init] [--prefix DIR]      create or refresh the prefix
#                                                    (default build-x64/wineprefix)
#   tools/wine-prefix.sh env [--acp 932|1252] [--prefix DIR]
#                                                    print the export lines for a shell
#   tools/wine-prefix.sh start|stop|check [--prefix DIR]
#   tools/wine-prefix.sh map [--prefix DIR] COMn=/path ...
# Sourceable: `. tools/wine-prefix.sh` defines the qlr_* functions below and
# changes nothing else.
#
# Safety. This machine's /dev/ttyS* are real devices (ttyS0 is the console) and
# Wine maps detected ttyS* to COM ports by itself. So:
# - the prefix is created with Wine's mount manager disabled (no port is mapped
#   at all while it is being set up), then COM1..COM20 are all mapped in
#   HKLM\Software\Wine\Ports, which pushes a detected device to COM21 or above;
# - a port that a test does not use is mapped to an existing directory
#   ($prefix/no-port): opening it fails at once (error 5). A missing path is no
#   good: Wine then opens the mount manager's empty serial device object and
#   the open succeeds;
# - mappings are changed only while the prefix's wineserver is down, and before
#   every Wine program qlr_wine checks the dosdevices links against the mapping
#   and removes any com* link that points to a real serial device.
# ~/.wine is never used: every function takes or derives an explicit prefix.

QLR_TOOLS_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
QLR_ROOT="$(cd "$QLR_TOOLS_DIR/.." && pwd)"
QLR_PREFIX_VERSION=2             # bump when the prefix settings below change
QLR_PORT_COUNT=20
: "${QLR_SERVER_LINGER:=120}"    # seconds a test's wineserver outlives its last client
: "${QLR_WINE_TIMEOUT:=60}"      # default bound for one Wine program

qlr_log() { echo "wine-prefix: $*" >&2; }

qlr_default_prefix() { echo "${QLR_BUILD_DIR:-$QLR_ROOT/build-x64}/wineprefix"; }

# Windows path of an absolute Unix path (drive Z: is the Unix root).
qlr_winpath() {
  local p="$1"
  case "$p" in /*) ;; *) p="$(pwd)/$p" ;; esac
  printf 'Z:%s' "${p//\//\\}"
}

# Environment for every Wine process: quiet, no desktop integration, no X
# display (windows use the null graphics driver set in the prefix), and the
# ANSI code page chosen through the locale: 932 with ja_JP.UTF-8, else 1252.
qlr_wine_env() {
  local acp="${1:-${QLR_ACP:-1252}}"
  export WINEDEBUG="${QLR_WINEDEBUG:--all}"
  export WINEDLLOVERRIDES="winemenubuilder.exe=d"
  unset DISPLAY WAYLAND_DISPLAY
  case "$acp" in
    932) export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 ;;
    1252) export LANG=C.UTF-8 LC_ALL=C.UTF-8 ;;
    *) qlr_log "unsupported code page $acp (932 or 1252)"; return 2 ;;
  esac
  export QLR_ACP="$acp"
}

qlr_server_stop() {
  local dir="$1"
  [ -d "$dir" ] || return 0
  WINEPREFIX="$dir" timeout 30 wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX="$dir" timeout 30 wineserver -w >/dev/null 2>&1 || true
}

# Starts the prefix's wineserver detached from every pipe (a server started
# by the first Wine program of a pipeline would keep the pipe open), runs one
# harmless program so that the mount manager creates the port links, and
# checks them.
qlr_server_start() {
  local dir="$1" linger="${2:-$QLR_SERVER_LINGER}"
  # Exit status 2 means a server is already running for the prefix: fine.
  WINEPREFIX="$dir" wineserver -p"$linger" </dev/null >/dev/null 2>&1 || true
  WINEPREFIX="$dir" timeout 60 wine reg query 'HKLM\Software\Wine\Ports' </dev/null >/dev/null 2>&1 || {
    qlr_log "first Wine program failed in $dir"; return 1; }
  qlr_ports_wait "$dir"
}

# The mapping in force, as recorded by qlr_ports_map: lines "N PATH".
qlr_ports_record() { cat "$1/.qlr-ports" 2>/dev/null; }

# Removes com* links to real serial devices and links the mapping does not know.
qlr_ports_scrub() {
  local dir="$1" link target n
  for link in "$dir"/dosdevices/com*; do
    [ -e "$link" ] || [ -L "$link" ] || continue
    n="${link##*/com}"
    target="$(readlink "$link" 2>/dev/null || true)"
    case "$target" in
      /dev/ttyS*|/dev/ttyUSB*|/dev/ttyACM*|/dev/ttyAMA*|/dev/rfcomm*|/dev/console|/dev/tty|/dev/tty[0-9]*)
        rm -f "$link"; continue ;;
    esac
    if ! qlr_ports_record "$dir" | grep -q "^$n "; then rm -rf "$link"; fi
  done
}

# Verifies that dosdevices/com1..com20 are exactly the recorded mapping.
qlr_ports_check() {
  local dir="$1" n path target bad=0
  [ -f "$dir/.qlr-ports" ] || { qlr_log "$dir has no port mapping record"; return 1; }
  qlr_ports_scrub "$dir"
  while read -r n path; do
    target="$(readlink "$dir/dosdevices/com$n" 2>/dev/null || true)"
    if [ "$target" != "$path" ]; then
      qlr_log "COM$n links to '${target:-nothing}', expected '$path'"; bad=1
    fi
  done < "$dir/.qlr-ports"
  return $bad
}

# Waits (bounded) until the mount manager has written the mapped links, then checks.
qlr_ports_wait() {
  local dir="$1" i
  for i in $(seq 1 100); do
    qlr_ports_check "$dir" 2>/dev/null && return 0
    sleep 0.1
  done
  qlr_ports_check "$dir"
}

# qlr_ports_map DIR [COMn=PATH ...]: maps the given ports, every other one of
# COM1..COM20 to $DIR/no-port. Stops the prefix's wineserver first; the new
# mapping takes effect with the next server.
qlr_ports_map() {
  local dir="$1"; shift
  local -a map
  local i entry n path
  [ -f "$dir/system.reg" ] || { qlr_log "no prefix at $dir"; return 1; }
  mkdir -p "$dir/no-port"
  for i in $(seq 1 $QLR_PORT_COUNT); do map[$i]="$dir/no-port"; done
  for entry in "$@"; do
    n="${entry%%=*}"; path="${entry#*=}"
    n="${n#COM}"; n="${n#com}"
    if ! [[ "$n" =~ ^[0-9]+$ ]] || [ "$n" -lt 1 ] || [ "$n" -gt $QLR_PORT_COUNT ]; then
      qlr_log "bad port in '$entry' (COM1..COM$QLR_PORT_COUNT)"; return 1
    fi
    if ! [[ "$path" =~ ^/[][A-Za-z0-9_./+,@:=~-]*$ ]]; then
      qlr_log "bad path in '$entry' (absolute, plain ASCII)"; return 1
    fi
    map[$n]="$path"
  done
  qlr_server_stop "$dir"
  local entries="" rec=""
  for i in $(seq 1 $QLR_PORT_COUNT); do
    entries+="\"COM$i\"=\"${map[$i]}\""$'\n'
    rec+="$i ${map[$i]}"$'\n'
  done
  awk -v entries="$entries" '
    BEGIN { done = 0 }
    /^\[Software\\\\Wine\\\\Ports\]/ { print; inside = 1; next }
    inside && /^"COM[0-9]+"=/ { next }
    inside && /^$/ { printf "%s", entries; print; inside = 0; done = 1; next }
    { print }
    END { if (inside) { printf "%s", entries; done = 1 } if (!done) exit 3 }
  ' "$dir/system.reg" > "$dir/system.reg.qlr-new" || {
    rm -f "$dir/system.reg.qlr-new"; qlr_log "no Ports key in $dir/system.reg"; return 1; }
  mv "$dir/system.reg.qlr-new" "$dir/system.reg"
  printf '%s' "$rec" > "$dir/.qlr-ports"
  rm -rf "$dir"/dosdevices/com*
  for i in $(seq 1 $QLR_PORT_COUNT); do ln -s "${map[$i]}" "$dir/dosdevices/com$i"; done
}

qlr_prefix_stamp() { echo "qlr-prefix $QLR_PREFIX_VERSION $(wine --version 2>/dev/null)"; }

# The prefix's fixed settings, as a registry file (UTF-16 with BOM for reg import).
qlr_settings_reg() {
  local out="$1" dir="$2" i
  {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Drivers]\r\n"Graphics"="null"\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
    printf '"ＭＳ Ｐゴシック"="IPAPGothic"\r\n"ＭＳ ゴシック"="IPAGothic"\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
    for i in $(seq 1 $QLR_PORT_COUNT); do printf '"COM%d"="%s/no-port"\r\n' "$i" "$dir"; done
    printf '\r\n'
  } | { printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE; } > "$out"
}

# qlr_prefix_init [DIR]: creates the prefix DIR (default build-x64/wineprefix)
# and its untouched copy DIR.pristine, from which tests clone their own
# prefixes; does nothing when both exist with the current settings. Safe to
# call from parallel processes.
qlr_prefix_init() {
  local dir="${1:-$(qlr_default_prefix)}"
  qlr_prefix_ready "$dir" && qlr_prefix_ready "$dir.pristine" && return 0
  mkdir -p "$(dirname "$dir")"
  ( flock 9 || exit 1
    if ! qlr_prefix_ready "$dir"; then
      qlr_prefix_create "$dir" "$dir.pristine"
    elif ! qlr_prefix_ready "$dir.pristine"; then
      qlr_prefix_create "$dir.pristine"
    fi ) 9>"$dir.lock"
}

qlr_prefix_ready() {
  [ -f "$1/.qlr-prefix" ] && [ "$(cat "$1/.qlr-prefix")" = "$(qlr_prefix_stamp)" ]
}

# qlr_prefix_create DIR [SNAPSHOT]: a new prefix (and a clone of it as SNAPSHOT).
qlr_prefix_create() {
  local dir="$1" snapshot="${2:-}"
  local stamp; stamp="$(qlr_prefix_stamp)"
  ( qlr_wine_env 1252
    set -e
    qlr_log "creating $dir"
    qlr_server_stop "$dir"
    rm -rf "$dir"
    if [ -n "$snapshot" ]; then qlr_server_stop "$snapshot"; rm -rf "$snapshot"; fi
    mkdir -p "$dir"
    export WINEPREFIX="$dir" WINEDLLOVERRIDES="$WINEDLLOVERRIDES;mountmgr.sys=d"
    if ! timeout 300 wineboot -i </dev/null >"$dir.boot.log" 2>&1; then
      qlr_log "wineboot -i failed, see $dir.boot.log"; exit 1
    fi
    qlr_server_stop "$dir"
    mkdir -p "$dir/no-port"
    qlr_settings_reg "$dir/qlr-settings.reg" "$dir"
    wineserver -p"$QLR_SERVER_LINGER" </dev/null >/dev/null 2>&1
    timeout 60 wine reg import "$(qlr_winpath "$dir/qlr-settings.reg")" </dev/null >>"$dir.boot.log" 2>&1
    qlr_server_stop "$dir"
    qlr_ports_map "$dir"
    # Check with the mount manager running again: every port maps to no-port.
    export WINEDLLOVERRIDES="winemenubuilder.exe=d"
    qlr_server_start "$dir"
    timeout 60 wine reg query 'HKCU\Software\Wine\Drivers' /v Graphics </dev/null 2>/dev/null \
      | grep -q 'Graphics.*null' || { qlr_log "Graphics=null did not stick"; exit 1; }
    qlr_server_stop "$dir"
    qlr_ports_scrub "$dir"
    echo "$stamp" > "$dir/.qlr-prefix"
    if [ -n "$snapshot" ]; then qlr_prefix_clone "$dir" "$snapshot"; fi
  )
}

# qlr_prefix_clone SRC DST: a private copy of a prefix for one test. The big,
# never-written parts are hard links; registry and settings files are copied.
qlr_prefix_clone() {
  local src="$1" dst="$2" f
  [ -f "$src/.qlr-prefix" ] || { qlr_log "no prefix at $src (run tools/wine-prefix.sh)"; return 1; }
  qlr_server_stop "$dst"
  rm -rf "$dst"
  mkdir -p "$(dirname "$dst")"
  cp -al "$src" "$dst"
  rm -f "$dst/wineserver"
  while IFS= read -r -d '' f; do
    cp --remove-destination -p "$src/${f#"$dst"/}" "$f"
  done < <(find "$dst" -maxdepth 1 -type f -print0; find "$dst/drive_c" -type f \( -iname '*.ini' -o -iname '*.log' -o -iname '*.txt' \) -print0)
}

# qlr_wine [-t SECONDS] PROGRAM ARGS...: one Wine program in $WINEPREFIX,
# bounded in time, after the port links were checked. Status 124: the bound
# ended it. Status 137 before the bound: something else killed it; Wine's
# server kills a process whose exit is still under way a second after its
# last thread ended, which happens on a loaded machine. The status is kept
# (callers decide what it means) and a line says so.
qlr_wine() {
  local t="$QLR_WINE_TIMEOUT" start st
  if [ "${1:-}" = "-t" ]; then t="$2"; shift 2; fi
  [ -n "${WINEPREFIX:-}" ] || { qlr_log "WINEPREFIX is not set"; return 1; }
  qlr_ports_check "$WINEPREFIX" || return 1
  start=$SECONDS
  timeout -k 5 "$t" wine "$@" </dev/null
  st=$?
  if [ "$st" -eq 137 ] && [ $((SECONDS - start)) -lt "$t" ]; then
    qlr_log "$1 was killed after $((SECONDS - start)) s, before its bound of $t s"
  fi
  return "$st"
}

# True while a desktop process (explorer.exe /desktop) of prefix DIR runs.
qlr_desktop_up() {
  local dir="$1" proc
  for proc in /proc/[0-9]*; do
    tr '\0' ' ' <"$proc/cmdline" 2>/dev/null | grep -q 'explorer\.exe.*/desktop' || continue
    tr '\0' '\n' <"$proc/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$dir" && return 0
  done
  return 1
}

# qlr_desktop_hold DIR: keeps the prefix's desktop up until its wineserver is
# stopped. Wine starts the desktop for the first program that needs a window
# and ends it about a second after the last one has gone, so a run of short
# programs starts and stops it again and again, and a program that exits
# while it starts or stops can hang in its exit. On Windows the desktop is
# simply there. A program that keeps a window (notepad) holds it; stopping
# the server ends both.
qlr_desktop_hold() {
  local dir="$1" i
  WINEPREFIX="$dir" setsid wine notepad </dev/null >/dev/null 2>&1 &
  for i in $(seq 1 300); do
    qlr_desktop_up "$dir" && return 0
    sleep 0.1
  done
  qlr_log "the desktop of $dir did not start"
  return 1
}

# ---- command line ---------------------------------------------------------
qlr_prefix_main() {
  local cmd="init" acp="" prefix=""
  local -a rest=()
  while [ $# -gt 0 ]; do
    case "$1" in
      init|env|start|stop|check|map) cmd="$1" ;;
      --acp) acp="$2"; shift ;;
      --prefix) prefix="$2"; shift ;;
      -h|--help) sed -n '2,12p' "${BASH_SOURCE[0]}"; return 0 ;;
      *) rest+=("$1") ;;
    esac
    shift
  done
  prefix="${prefix:-$(qlr_default_prefix)}"
  case "$prefix" in /*) ;; *) prefix="$(pwd)/$prefix" ;; esac
  case "$cmd" in
    init)
      qlr_prefix_init "$prefix" && echo "$prefix" ;;
    env)
      qlr_wine_env "${acp:-1252}" || return 2
      printf 'export WINEPREFIX=%q WINEDEBUG=%q WINEDLLOVERRIDES=%q LANG=%q LC_ALL=%q\nunset DISPLAY WAYLAND_DISPLAY\n' \
        "$prefix" "$WINEDEBUG" "$WINEDLLOVERRIDES" "$LANG" "$LC_ALL" ;;
    start) qlr_wine_env "${acp:-1252}"; qlr_server_start "$prefix" ;;
    stop) qlr_server_stop "$prefix" ;;
    check) qlr_ports_check "$prefix" && echo "ports of $prefix: ok" ;;
    map) qlr_ports_map "$prefix" "${rest[@]}" ;;
  esac
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  qlr_prefix_main "$@"
fi
