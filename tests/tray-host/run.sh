#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A kept tray icon through what a Linux desktop does to its tray, as seen on screen. On an
# Xvfb display of its own, with Debian's trayer as the tray host, KeptIconProbe adds a
# 16x16 icon of a colour no tray host draws through TrayIconKeeper.add (and keeps it a
# second time), and counts that colour's pixels. Each cycle ends trayer, when the icon must
# be gone, and starts it again, when it must be back, added once at most. Then: the
# application removes the icon itself, closes its keepers with a tray host and without
# one, adds the icon while no tray host is there, lets the keeper make it, and a new tray
# host (takeover.cpp) takes the tray over from trayer. Last, as many returns of trayer while
# a thread of the application adds and removes an icon of its own: the event thread must
# go on running. Prints what it saw; exits 1 where that differs. Everything it starts it
# ends by process id, also when it fails.
#
#   run.sh OUT_DIR CYCLES [SHOT_DIR]    SHOT_DIR: screenshots of the first cycle
set -euo pipefail

usage="usage: run.sh OUT_DIR CYCLES [SHOT_DIR]"
out=${1:?$usage}
cycles=${2:?$usage}
shots=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

for tool in Xvfb trayer java javac g++; do
  command -v "$tool" >/dev/null || { echo "tray host: no $tool; run scripts/bootstrap.sh" >&2; exit 1; }
done

rm -rf "$out"
mkdir -p "$out/classes" ${shots:+"$shots"}
javac --release 8 -Xlint:all -Xlint:-options -Werror -encoding UTF-8 -d "$out/classes" \
  "$root"/clients/java/src/main/java/org/trayredraw/client/*.java "$here/KeptIconProbe.java"
g++ -std=c++17 -Wall -Wextra -Werror -O2 -o "$out/takeover" "$here/takeover.cpp" -lX11

xvfb="" trayer="" app="" old="" new=""
end() {
  local pid
  for pid in "$@"; do
    [ -n "$pid" ] || continue
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}
trap 'end "$app" "$old" "$new" "$trayer" "$xvfb"' EXIT

mkfifo "$out/displayfd"
Xvfb -displayfd 3 -nolisten tcp -screen 0 320x120x24 3>"$out/displayfd" >"$out/xvfb.log" 2>&1 &
xvfb=$!
read -r -t 20 display <"$out/displayfd" || { echo "tray host: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$display"

start_trayer() { trayer --edge top --align left --widthtype request >>"$out/trayer.log" 2>&1 & trayer=$!; }
end_trayer() { end "$trayer"; trayer=""; }
# start_host NAME SIDE: takeover.cpp as the tray host NAME, once it holds the tray.
start_host() {
  "$out/takeover" "$2" >"$out/$1.out" 2>>"$out/takeover.log" &
  printf -v "$1" %s $!
  for _ in $(seq 100); do grep -q ready "$out/$1.out" && return; sleep 0.1; done
  echo "tray host: takeover ($1) did not take the tray" >&2; exit 1
}

start_trayer
coproc PROBE { exec java -cp "$out/classes" KeptIconProbe twice 2>"$out/probe.log"; }
app=$PROBE_PID
reply=""
ask() {
  echo "$*" >&"${PROBE[1]}"
  read -r -t 30 reply <&"${PROBE[0]}" || { cat "$out/probe.log" >&2; echo "tray host: no answer to '$*'" >&2; exit 1; }
}
await_tray() { ask tray; [ "$reply" = tray ] || { echo "tray host: trayer did not take the tray" >&2; exit 1; }; }

failed=0
# look STEP PIXELS MOST_ADDS SHOT [SINCE]: the icon's pixels as the step expects them and
# its adds at most so many, and the time from SINCE until its pixels held steady.
look() {
  local px adds ms
  ask await "$2"
  read -r px adds ms <<<"$reply"
  echo "$1: $px px of the icon's colour, adds: $adds${5:+; steady $ms ms after $5}"
  [ "$px" = "$2" ] && [ "$adds" -le "$3" ] || { echo "  expected $2 px, adds: at most $3" >&2; failed=1; }
  [ -z "$shots" ] || [ "$4" = - ] || { ask shot "$shots/$4.png"; echo "  screen: $shots/$4.png"; }
}

# step STEP PIXELS MOST_ADDS ACTION...: trayer's end, start or await, or the probe's
# commands, in turn; then a look.
step() {
  local name=$1 px=$2 adds=$3 action
  shift 3
  for action; do
    case $action in end) end_trayer ;; start) start_trayer ;; await) await_tray ;; *) ask "$action" ;; esac
  done
  look "$name" "$px" "$adds" -
}

await_tray
look "added" 256 1 1-added "the add"
for cycle in $(seq "$cycles"); do
  [ "$cycle" -eq 1 ] || shots=""
  end_trayer
  look "cycle $cycle: trayer ended" 0 0 2-tray-host-ended
  start_trayer
  look "cycle $cycle: trayer started again" 256 1 3-tray-host-back "the tray host came back"
done
shots=""

step "removed by the application, trayer restarted" 0 0 remove end start await
step "added again" 256 1 add
step "closed, trayer restarted, added again" 256 1 close end start await add
step "closed while no tray host was there, trayer started" 0 0 end close start await
step "added while no tray host was there, trayer started" 256 1 end add start
step "made by the keeper once trayer had started" 256 0 close end make start
step "added again" 256 1 close add
# A new tray host takes the tray over from one that goes on running and lets go of its
# icons, as a panel that is replaced does.
end_trayer
start_host old left
await_tray
look "in a tray host of the test's own" 256 1 -
start_host new right
look "another tray host took the tray over" 256 1 -
end "$old" "$new"
old="" new=""

# The application adds and removes an icon of its own on a thread of its own from each
# return of the tray host on; the event thread must never hang. (What then shows on
# screen is not judged: AWT itself loses track of icons when used so.)
for cycle in $(seq "$cycles"); do
  start_trayer
  ask churn
  echo "tray host return $cycle, the application adding and removing an icon of its own: the event thread: $reply"
  [ "$reply" = responsive ] || failed=1
  end_trayer
done
[ "$failed" -eq 0 ] || { echo "tray host: the icon was not where it should be, or the application hung" >&2; exit 1; }
echo "tray host: the kept icon came back, added once at most, after each of the $cycles restart(s); stayed away"
echo "once removed or closed, with a tray host or without; came when added before any tray host was there;"
echo "followed a new tray host; and the event thread ran on while the application used the tray itself"
