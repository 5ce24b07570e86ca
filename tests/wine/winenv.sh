#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A private Wine environment for one test run: its own Xvfb display and its own
# WINEPREFIX under STATE_DIR. The prefix is kept for the next run (making one costs
# about 20 s); the display and the wineserver live only from "start" to "stop" and are
# ended by the PIDs this script recorded, never by name.
#
#   winenv.sh start STATE_DIR [ARCH]   create the prefix if needed, start Xvfb and wineserver
#   winenv.sh run STATE_DIR PROG ARGS  run a Windows program in that environment
#   winenv.sh stop STATE_DIR           stop what "start" started
#   winenv.sh env STATE_DIR            print the environment as shell assignments
#
# ARCH is the processor of the build under test (i686 or x86_64; x86_64 if left out).
# On a kernel that runs no 32-bit code, an i686 environment runs Wine inside the
# emulated root of emu32.sh, when it has been set up: there 32-bit and 64-bit programs
# run side by side. Otherwise Wine is the host's, and "run" exits with 77 (skipped) for
# a 32-bit program that the host cannot run.
set -euo pipefail

cmd=${1:?usage: winenv.sh start|run|stop|env STATE_DIR ...}
state=${2:?usage: winenv.sh start|run|stop|env STATE_DIR ...}
shift 2
mkdir -p "$state"
state=$(cd "$state" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
emu32="$here/emu32.sh"

# "emu" where this environment's Wine runs in the emulated root, else "host"; chosen
# by "start" and kept until "stop".
mode=host
[ "$cmd" != start ] && [ -s "$state/mode" ] && mode=$(cat "$state/mode")

# Debian's wine script always picks the 32-bit loader when it is installed, and on a
# kernel without 32-bit support that loader cannot even start. Such a machine gets the
# 64-bit loader directly, which is what the script would pick without wine32.
runs_32bit() { [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; }

if [ "$cmd" = start ] && [ "${1:-x86_64}" = i686 ] && ! runs_32bit && "$emu32" ready; then
  mode=emu
fi

export WINEDEBUG="${WINEDEBUG:--all}"
# No mono or gecko installer may wait for an answer on the virtual display.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEARCH

# Whether a Windows program is 32-bit: the machine field of its PE header is 0x14c.
is_32bit_program() {
  local pe
  pe=$(od -An -t u4 -j 60 -N 4 "$1" 2>/dev/null | tr -d ' ') || return 1
  [ -n "$pe" ] && [ "$(od -An -t x2 -j $((pe + 4)) -N 2 "$1" | tr -d ' ')" = 014c ]
}

if [ "$mode" = emu ]; then
  # A prefix of the root's own Wine, beside the host's.
  export WINEPREFIX="$state/prefix-emu32"
  # The wrapper prefers the 32-bit loader, which costs an emulated start even for a
  # 64-bit program: each program gets the loader of its own kind.
  wine_line() {
    local loader=/usr/lib/wine/wine64
    is_32bit_program "$1" && loader=/usr/lib/wine/wine
    line=("$emu32" exec "$PWD" "$loader" "$@")
  }
  wineserver_command=("$emu32" exec / /usr/lib/wine/wineserver)
  # The command that runs a Windows program here, for programs outside this script.
  WINE="$state/wine"
else
  export WINEPREFIX="$state/prefix"
  if runs_32bit; then
    WINE=wine
  else
    export WINELOADER=/usr/lib/wine/wine64
    WINE=$WINELOADER
  fi
  wine_line() { line=("$WINE" "$@"); }
  wineserver_command=(command wineserver)
fi
# wine_line PROG ARGS sets `line` to the command that runs a Windows program here;
# "command", since that may be the system's wine script, which this function shadows.
wine() { local line; wine_line "$@"; command "${line[@]}"; }
wineserver() { "${wineserver_command[@]}" "$@"; }

load_display() {
  [ -s "$state/display" ] || { echo "winenv: no running environment in $state; run 'start' first" >&2; exit 1; }
  export DISPLAY=":$(cat "$state/display")"
}

# Whatever starts this script (ctest, for one) may have handed it open pipes beyond
# the standard three. Wine's server and services outlive the script, and a pipe they
# inherit would keep the caller waiting for an end of output that never comes.
close_inherited_fds() {
  local fd
  for fd in /proc/$$/fd/*; do
    fd=${fd##*/}
    [ "$fd" -gt 2 ] 2>/dev/null && eval "exec $fd>&-" 2>/dev/null || true
  done
}

alive() { [ -s "$1" ] && kill -0 "$(cat "$1")" 2>/dev/null; }

start_xvfb() {
  alive "$state/xvfb.pid" && return 0
  local fifo="$state/displayfd"
  rm -f "$fifo" "$state/display"
  mkfifo "$fifo"
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$fifo" >/dev/null 2>&1 &
  echo $! >"$state/xvfb.pid"
  local n
  read -r -t 20 n <"$fifo" || { echo "winenv: Xvfb did not start" >&2; exit 1; }
  rm -f "$fifo"
  echo "$n" >"$state/display"
}

start_wineserver() {
  alive "$state/wineserver.pid" && return 0
  # -f keeps it in the foreground so that $! is the server itself; -p keeps it alive
  # between test programs so each launch costs milliseconds rather than seconds.
  "${wineserver_command[@]}" -f -p >/dev/null 2>&1 &
  echo $! >"$state/wineserver.pid"
}

init_prefix() {
  [ -f "$WINEPREFIX.ready" ] && return 0
  rm -rf "$WINEPREFIX"
  wine wineboot -i >/dev/null 2>&1
  # A fault in a posted message must end the process, not open a crash dialog that
  # waits on the virtual display for ever.
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX.ready"
}

stop_all() {
  if [ -d "$WINEPREFIX" ] && alive "$state/wineserver.pid"; then
    wineserver -k >/dev/null 2>&1 || true
  fi
  for f in wineserver xvfb; do
    if alive "$state/$f.pid"; then
      local pid; pid=$(cat "$state/$f.pid")
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$state/$f.pid"
  done
  rm -f "$state/display"
  if [ "$mode" = emu ]; then
    "$emu32" down || true
    rm -f "$state/wine"
  fi
  rm -f "$state/mode"
}

case "$cmd" in
  start)
    close_inherited_fds
    trap 'stop_all' ERR
    echo "$mode" >"$state/mode"
    if [ "$mode" = emu ]; then
      "$emu32" up
      printf '#!/bin/sh\nexec %q run %q "$@"\n' "$here/winenv.sh" "$state" >"$state/wine"
      chmod +x "$state/wine"
    fi
    start_xvfb
    load_display
    start_wineserver
    init_prefix
    start_wineserver   # wineboot's shutdown may have ended the first one
    # Bring up the session's services now, from here, rather than from the first test.
    wine wineboot >/dev/null 2>&1
    ;;
  run)
    close_inherited_fds
    load_display
    if [ "$mode" = host ] && is_32bit_program "$1" && ! runs_32bit; then
      echo "winenv: skipped: this machine's kernel runs no 32-bit programs, so Wine cannot run $1"
      exit 77
    fi
    wine_line "$@"
    exec "${line[@]}"
    ;;
  env)
    load_display
    # WINE is the command that runs a Windows program here.
    printf 'export WINEPREFIX=%q DISPLAY=%q WINEDEBUG=%q WINEDLLOVERRIDES=%q WINE=%q\n' \
      "$WINEPREFIX" "$DISPLAY" "$WINEDEBUG" "$WINEDLLOVERRIDES" "$WINE"
    [ -z "${WINELOADER:-}" ] || printf 'export WINELOADER=%q\n' "$WINELOADER"
    ;;
  stop)
    stop_all
    ;;
  *)
    echo "winenv: unknown command $cmd" >&2; exit 2 ;;
esac
