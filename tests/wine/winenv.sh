#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A private Wine environment for one test run: its own Xvfb display and its own
# WINEPREFIX under STATE_DIR. The prefix is kept for the next run (making one costs
# about 20 s); the display and the wineserver live only from "start" to "stop" and are
# ended by the PIDs this script recorded, never by name.
#
#   winenv.sh start STATE_DIR          create the prefix if needed, start Xvfb and wineserver
#   winenv.sh run STATE_DIR PROG ARGS  run a Windows program in that environment
#   winenv.sh stop STATE_DIR           stop what "start" started
#   winenv.sh env STATE_DIR            print the environment as shell assignments
#   winenv.sh route STATE_DIR          say which Wine runs the programs, and how
#
# The Wine is the root's of root.sh, for 32-bit and 64-bit programs alike; the host's
# only where its own Wine already runs 32-bit programs (a desktop with wine32). Where
# the kernel runs no 32-bit code, or TRAYREDRAW_EMULATE_I386=1 asks for it on one that
# does (to try that kind of machine's path), "start" hands 32-bit programs to qemu-i386
# and "stop" takes that away again.
set -euo pipefail

cmd=${1:?usage: winenv.sh start|run|stop|env|route STATE_DIR ...}
state=${2:?usage: winenv.sh start|run|stop|env|route STATE_DIR ...}
shift 2
mkdir -p "$state"
state=$(cd "$state" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
rootsh="$here/root.sh"
# Our binfmt_misc entry, one for each environment, so that one stopping leaves another's.
entry="trayredraw-i386-$(printf '%s' "$state" | cksum | cut -d' ' -f1)"

# "host" or "root", chosen by "start" and kept until "stop"; a root's programs run
# through root.sh.
mode=root
if [ "$cmd" = start ]; then
  ! "$rootsh" host || mode=host
elif [ -s "$state/mode" ]; then
  mode=$(cat "$state/mode")
fi
inside=()
[ "$mode" = host ] || inside=("$rootsh" run)

export WINEPREFIX="$state/prefix-$mode" WINEDEBUG="${WINEDEBUG:--all}"
# No mono or gecko installer may wait for an answer on the virtual display.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEARCH

# wine_line PROG ARGS sets `line` to the command that runs a Windows program here. The
# wine script prefers the 32-bit loader, which under emulation costs an emulated start
# even for a 64-bit program: each program gets the loader of its kind, by the machine
# field of its PE header (0x14c: 32-bit).
wine_line() {
  local loader=/usr/lib/wine/wine64 pe
  pe=$(od -An -t u4 -j 60 -N 4 "$1" 2>/dev/null | tr -d ' ') || true
  [ -n "$pe" ] && [ "$(od -An -t x2 -j $((pe + 4)) -N 2 "$1" | tr -d ' ')" = 014c ] &&
    loader=/usr/lib/wine/wine
  line=("${inside[@]}" "$loader" "$@")
}
wine() { local line; wine_line "$@"; "${line[@]}"; }
wineserver() { "${inside[@]}" /usr/lib/wine/wineserver "$@"; }

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
  # -f keeps it in the foreground, so that it is $! or its child; -p keeps it alive
  # between test programs so each launch costs milliseconds rather than seconds.
  "${inside[@]}" /usr/lib/wine/wineserver -f -p >/dev/null 2>&1 &
  local pid=$! server="" try
  # Through the root, $! becomes bubblewrap, which a signal ends without its child: the
  # server is that child.
  if [ "$mode" = root ]; then
    for try in $(seq 100); do
      [ "$(cat /proc/$pid/comm 2>/dev/null)" = bwrap ] && server=$(pgrep -P $pid) && break
      sleep 0.05
    done
  fi
  echo "${server:-$pid}" >"$state/wineserver.pid"
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
  # Also a server whose process id was never written down.
  [ ! -d "$WINEPREFIX" ] || wineserver -k >/dev/null 2>&1 || true
  for f in wineserver xvfb; do
    if alive "$state/$f.pid"; then
      local pid; pid=$(cat "$state/$f.pid")
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$state/$f.pid"
  done
  rm -f "$state/display" "$state/mode" "$state/wine"
  "$rootsh" unemulate "$entry"
}

# Chooses how 32-bit programs run, checks that they do, and writes down what it found.
choose_route() {
  local kernel forced="" how="the host's Wine" runs="run natively"
  kernel=$("$rootsh" kernel) || true
  [ "${TRAYREDRAW_EMULATE_I386:-0}" != 1 ] || forced=", emulation forced by TRAYREDRAW_EMULATE_I386=1"
  if [ "$mode" = root ]; then
    "$rootsh" build
    how="the Wine of $("$rootsh" dir)"
    if [ "$kernel" != "i386: ok" ] || [ -n "$forced" ]; then
      "$rootsh" emulate "$entry"
      runs="run under $("${inside[@]}" /usr/bin/qemu-i386 --version | head -1)"
    fi
  fi
  "${inside[@]}" /usr/lib/wine/wine --version >/dev/null 2>&1 ||
    { echo "winenv: in $how, 32-bit programs do not $runs" >&2; return 1; }
  echo "$how; 32-bit programs $runs (arch-test: $kernel$forced)" >"$state/route"
}

case "$cmd" in
  start)
    close_inherited_fds
    trap 'stop_all' ERR
    echo "$mode" >"$state/mode"
    printf '#!/bin/sh\nexec %q run %q "$@"\n' "$here/winenv.sh" "$state" >"$state/wine"
    chmod +x "$state/wine"
    choose_route
    echo "winenv: $(cat "$state/route")" >&2
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
    wine_line "$@"
    exec "${line[@]}"
    ;;
  env)
    load_display
    # WINE is the command that runs a Windows program here.
    printf 'export WINEPREFIX=%q DISPLAY=%q WINEDEBUG=%q WINEDLLOVERRIDES=%q WINE=%q\n' \
      "$WINEPREFIX" "$DISPLAY" "$WINEDEBUG" "$WINEDLLOVERRIDES" "$state/wine"
    ;;
  route) cat "$state/route" ;;
  stop) stop_all ;;
  *) echo "winenv: unknown command $cmd" >&2; exit 2 ;;
esac
