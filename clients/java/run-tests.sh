#!/usr/bin/env bash
# Builds the Java client, its example and its tests with javac, then runs the tests
# against the real helper in the Wine environment that the test run's fixture started.
#
#   run-tests.sh WINE_ENV_DIR TRAYREDRAW_EXE TRAYTOOL_EXE OUT_DIR
#
# Exits 77 (skipped) when no JDK is installed.
set -euo pipefail

if ! command -v javac >/dev/null || ! command -v java >/dev/null; then
  echo "java client: no JDK (javac) installed; skipped"
  exit 77
fi

env_dir=${1:?usage: run-tests.sh WINE_ENV_DIR TRAYREDRAW_EXE TRAYTOOL_EXE OUT_DIR}
helper=${2:?}
traytool=${3:?}
out=${4:?}
here=$(cd "$(dirname "$0")" && pwd)

rm -rf "$out/classes"
mkdir -p "$out/classes"
# Java 8 is what applications may still run; -Xlint:-options keeps newer JDKs' note
# about that old release from failing -Werror.
mapfile -t sources < <(find "$here/src" "$here/example" "$here/tests" -name '*.java' | sort)
javac --release 8 -Xlint:all -Xlint:-options -Werror -encoding UTF-8 \
  -d "$out/classes" "${sources[@]}"

eval "$("$here/../../tests/wine/winenv.sh" env "$env_dir")"
exec java -cp "$out/classes" trayredraw.client.ClientTest "$helper" "$traytool" wine
