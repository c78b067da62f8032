#!/usr/bin/env bash
# Runs Windows programs of the cross builds under wine; it is the builds'
# CMAKE_CROSSCOMPILING_EMULATOR (see cmake/mingw-x86_64.cmake and
# cmake/mingw-i686-posix.cmake).
#
#   wine-run.sh --prefix=DIR [--wine32] PROGRAM [ARGS...]
#                                      run PROGRAM, pass its exit code
#   wine-run.sh --prefix=DIR --init              create the wine prefix only
#   wine-run.sh --prefix=DIR --start-server      start the wineserver ahead
#   wine-run.sh --prefix=DIR --stop-server       stop it now
#
# The prefix is always a win64 one, made and served by wine64 and
# wineserver64. --wine32 runs PROGRAM, a 32-bit one, with the 32-bit loader
# (/usr/lib/wine/wine, from wine32:i386) in that prefix; this needs a kernel
# that runs 32-bit code (scripts/probe-32bit.sh).
#
# The prefix is created on first use (about 10 s), under a lock so parallel
# tests wait for one creation.
#
# Every program runs against a wineserver that outlives it by
# $VQLOGGER_WINESERVER_LINGER seconds (default 30), so a test run pays
# wine's start-up (server, services, device drivers: about 1 s) once rather
# than per test process (then about 0.1 s). The server and wine's system
# processes are always started here with their standard streams on
# /dev/null: started by a test program instead, the system processes would
# inherit its output pipe and hold it open as long as the server lives, and
# ctest would wait for that pipe to close. --stop-server ends the server at
# once at the end of a run.
#
# Programs see a fixed environment: no wine debug output, no display, and
# the ANSI code page 1252 whatever the caller's locale (set
# VQLOGGER_WINE_LOCALE, e.g. ja_JP.UTF-8 for code page 932, to pick another).
# Their standard output has its CRLF line ends turned into LF, so ctest and
# gtest_discover_tests read it as they read a native program's.
set -euo pipefail

wine=${VQLOGGER_WINE:-/usr/lib/wine/wine64}
wineserver=${VQLOGGER_WINESERVER:-/usr/lib/wine/wineserver64}
linger=${VQLOGGER_WINESERVER_LINGER:-30}

usage() {
  echo "usage: $0 --prefix=DIR (--init | --start-server | --stop-server | [--wine32] PROGRAM [ARGS...])" >&2
  exit 2
}

prefix=
case "${1-}" in
  --prefix=?*) prefix=${1#--prefix=}; shift ;;
  *) usage ;;
esac
# The loader for PROGRAM: wine64 unless --wine32.
loader=$wine
loader_package=wine64
if [[ ${1-} == --wine32 ]]; then
  loader=${VQLOGGER_WINE32:-/usr/lib/wine/wine}
  loader_package=wine32:i386
  shift
fi
[[ $# -gt 0 ]] || usage

for tool in "$wine" "$wineserver" "$loader"; do
  if [[ ! -x $tool ]]; then
    package=wine64
    [[ $tool != "$loader" ]] || package=$loader_package
    echo "wine-run.sh: $tool not found (install $package)" >&2
    exit 127
  fi
done

export WINEPREFIX=$prefix
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko installers while the prefix is created.
export WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=${VQLOGGER_WINE_LOCALE:-C.UTF-8}
unset DISPLAY WAYLAND_DISPLAY

ready_marker=$prefix/.vqlogger-prefix-ready

# Runs "$@" holding an exclusive lock on the file $1. Whatever it starts
# must close $lock_fd ({lock_fd}>&-): a server that kept it would hold the
# lock for its whole life.
lock_fd=
with_lock() {
  local lock=$1
  shift
  mkdir -p "$(dirname "$lock")"
  exec {lock_fd}>"$lock"
  flock "$lock_fd"
  "$@"
  local status=$?
  exec {lock_fd}>&-
  return "$status"
}

create_prefix() {
  [[ ! -e $ready_marker ]] || return 0
  # wineboot reports what it sets up (and that 32-bit support is absent)
  # on stderr; only a failure is worth showing.
  local log
  log=$(mktemp)
  if ! "$wine" wineboot --init </dev/null >"$log" 2>&1 {lock_fd}>&-; then
    cat "$log" >&2
    rm -f "$log"
    echo "wine-run.sh: creating the wine prefix $prefix failed" >&2
    exit 1
  fi
  rm -f "$log"
  # Wait for the server wineboot started to go, so the next start is ours.
  "$wineserver" -w 2>/dev/null {lock_fd}>&- || true
  touch "$ready_marker"
}

start_server() {
  local status=0
  "$wineserver" "-p$linger" </dev/null >/dev/null 2>&1 {lock_fd}>&- || status=$?
  case "$status" in
    0)  # A new server: start wine's system processes away from our pipes.
      "$wine" wineboot </dev/null >/dev/null 2>&1 {lock_fd}>&- || true ;;
    2) ;;  # one is running already
    *)
      echo "wine-run.sh: starting $wineserver failed (exit $status)" >&2
      exit 1 ;;
  esac
}

prepare() {
  [[ -e $ready_marker ]] || with_lock "$prefix.lock" create_prefix
  with_lock "$prefix.server-lock" start_server
}

case "$1" in
  --init)
    [[ -e $ready_marker ]] || with_lock "$prefix.lock" create_prefix
    ;;
  --start-server)
    prepare
    ;;
  --stop-server)
    if [[ -d $prefix ]]; then
      # Ends the server and any wine process of this prefix, then waits.
      "$wineserver" -k 2>/dev/null || true
      "$wineserver" -w 2>/dev/null || true
    fi
    ;;
  -*)
    usage
    ;;
  *)
    prepare
    set +e
    "$loader" "$@" | sed -e 's/\r$//'
    status=("${PIPESTATUS[@]}")
    set -e
    # The program's code first; a failed filter would lose output.
    if [[ ${status[0]} -ne 0 ]]; then exit "${status[0]}"; fi
    exit "${status[1]}"
    ;;
esac
