#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Shows the helper's main job on Linux: builds the 32-bit program if needed and runs
# the typical road under Wine on a private virtual display, printing a transcript. On a
# machine whose kernel runs no 32-bit code, the 32-bit program runs under emulation
# (tests/wine/emu32.sh), or the 64-bit build shows it where that cannot be had.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh

state="$PWD/build/demo-wine"
trap 'tests/wine/winenv.sh stop "$state"' EXIT
echo "Starting a private Wine desktop (the first time takes about 20 s)..."
tests/wine/winenv.sh start "$state" i686
for preset in mingw-i686 mingw-x86_64; do
  build=build/$preset
  cmake --preset "$preset" -DWINE_ENV_DIR="$PWD/build/wine-env" >/dev/null
  cmake --build "$build" -j "$(nproc)" --target trayredraw demo >/dev/null
  status=0
  echo "== $build/trayredraw.exe"
  tests/wine/winenv.sh run "$state" "$build/tests/demo.exe" "$PWD/$build/trayredraw.exe" || status=$?
  [ "$status" -eq 77 ] || exit "$status"
done
