#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A kept tray icon through restarts of a real tray host, as seen on screen. On an Xvfb
# display of its own, with Debian's trayer as the tray host, KeptIconProbe adds a 16x16
# icon of a colour no tray host draws through TrayIconKeeper.add (and keeps it a second
# time) and counts that colour's pixels. Each cycle ends trayer, when the icon must be
# gone, and starts it again, when it must be back, put back once. Then the application
# removes the icon itself, and after one more restart it must stay gone. Prints what it
# saw; exits 1 where that differs. Everything it starts it ends by process id, also when
# it fails.
#
#   run.sh OUT_DIR CYCLES [SHOT_DIR]    SHOT_DIR: screenshots of the first cycle
set -euo pipefail

usage="usage: run.sh OUT_DIR CYCLES [SHOT_DIR]"
out=${1:?$usage}
cycles=${2:?$usage}
shots=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

for tool in Xvfb trayer java javac; do
  command -v "$tool" >/dev/null || { echo "tray host: no $tool; run scripts/bootstrap.sh" >&2; exit 1; }
done

rm -rf "$out"
mkdir -p "$out/classes" ${shots:+"$shots"}
javac --release 8 -Xlint:all -Xlint:-options -Werror -encoding UTF-8 -d "$out/classes" \
  "$root"/clients/java/src/main/java/org/trayredraw/client/*.java "$here/KeptIconProbe.java"

xvfb="" trayer="" app=""
end() {
  local pid
  for pid in "$@"; do
    [ -n "$pid" ] || continue
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}
trap 'end "$app" "$trayer" "$xvfb"' EXIT

mkfifo "$out/displayfd"
Xvfb -displayfd 3 -nolisten tcp -screen 0 320x120x24 3>"$out/displayfd" >"$out/xvfb.log" 2>&1 &
xvfb=$!
read -r -t 20 display <"$out/displayfd" || { echo "tray host: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$display"

start_trayer() { trayer --edge top --align left --widthtype request >>"$out/trayer.log" 2>&1 & trayer=$!; }
end_trayer() { end "$trayer"; trayer=""; }

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
# look STEP PIXELS ADDS SHOT [SINCE]: the icon's pixels and adds as the step expects
# them, and the time from SINCE until its pixels held steady.
look() {
  local px adds ms
  ask await "$2"
  read -r px adds ms <<<"$reply"
  echo "$1: $px px of the icon's colour, adds: $adds${5:+; steady $ms ms after $5}"
  [ "$px" = "$2" ] && [ "$adds" = "$3" ] || { echo "  expected $2 px, adds: $3" >&2; failed=1; }
  [ -z "$shots" ] || [ "$4" = - ] || { ask shot "$shots/$4.png"; echo "  screen: $shots/$4.png"; }
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
ask remove
end_trayer
start_trayer
await_tray
look "icon removed by the application, trayer restarted" 0 0 -
[ "$failed" -eq 0 ] || { echo "tray host: the icon was not where it should be" >&2; exit 1; }
echo "tray host: the kept icon came back, added once, after each of the $cycles restart(s), and stayed away once removed"
