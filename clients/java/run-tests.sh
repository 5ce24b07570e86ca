#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Java library with Maven, offline from Debian's repository, into OUT_DIR,
# with TRAYREDRAW_EXE inside the jar, and runs its JUnit tests against the real helper
# in the Wine environment that the test run's fixture started, with trayer as a real tray
# on its display. Then compiles the example against the jar, so that it keeps up with the
# library.
#
#   run-tests.sh WINE_ENV_DIR TRAYREDRAW_EXE TRAYTOOL_EXE OUT_DIR VERSION
set -euo pipefail

usage="usage: run-tests.sh WINE_ENV_DIR TRAYREDRAW_EXE TRAYTOOL_EXE OUT_DIR VERSION"
env_dir=${1:?$usage}
helper=${2:?$usage}
traytool=${3:?$usage}
out=${4:?$usage}
version=${5:?$usage}
here=$(cd "$(dirname "$0")" && pwd)

for tool in mvn javac trayer; do
  command -v "$tool" >/dev/null || { echo "java client: no $tool; run scripts/bootstrap.sh" >&2; exit 1; }
done

# From nothing: classes of sources that are gone must not linger, nor their tests run.
rm -rf "$out"
winenv="$here/../../tests/wine/winenv.sh"
eval "$("$winenv" env "$env_dir")"

# traytool answers 0 (no helper) or 1 (a helper): anything else means Wine runs nothing.
probe=0
"$winenv" run "$env_dir" "$traytool" wait-gone 0 >/dev/null || probe=$?
[ $probe -le 1 ] || { echo "java client: traytool does not run under Wine (exit $probe)" >&2; exit 1; }
mvn_offline=(mvn -B -o -ntp -Dmaven.repo.local=/usr/share/maven-repo -f "$here/pom.xml")

# A build that finds no program fails before it makes a jar without one.
mkdir -p "$out"
if "${mvn_offline[@]}" -Dtrayredraw.buildDirectory="$out/no-program" \
     -Dtrayredraw.program.dir="$out/no-program" package >"$out/no-program.log" 2>&1; then
  echo "java client: a build without the program passed" >&2; exit 1
fi
grep -q "No trayredraw.exe in $out/no-program" "$out/no-program.log" ||
  { cat "$out/no-program.log" >&2; echo "java client: a build without the program failed, but not for that" >&2; exit 1; }
[ ! -e "$out/no-program/trayredraw-client-$version.jar" ] ||
  { echo "java client: a build without the program made a jar" >&2; exit 1; }
echo "java client: a build without the program fails"

# The keeper's tests add icons to a real tray: trayer's, on the Wine environment's
# display, ended by its PID however the tests end. They wait for it to take the tray.
trayer --edge top >/dev/null 2>&1 &
trayer_pid=$!
trap 'kill "$trayer_pid" 2>/dev/null || true; wait "$trayer_pid" 2>/dev/null || true' EXIT

# The tests that drive the helper run this build's programs under Wine.
"${mvn_offline[@]}" -Dtrayredraw.buildDirectory="$out" -Dtrayredraw.program.dir="$(dirname "$helper")" \
  -Dtrayredraw.test.helper="$helper" -Dtrayredraw.test.traytool="$traytool" \
  -Dtrayredraw.test.launcher="$WINE" -Dtrayredraw.test.wineRequired=true \
  package

mkdir -p "$out/example"
javac --release 8 -Xlint:all -Xlint:-options -Werror -encoding UTF-8 \
  -cp "$out/trayredraw-client-$version.jar" -d "$out/example" \
  "$here/example/org/trayredraw/example/TrayIconApp.java"
echo "java client: example compiled against trayredraw-client-$version.jar"
