#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Shows the helper's main job on Linux: builds the 32-bit program if needed and runs
# the typical road under Wine on a private virtual display, printing a transcript. Where
# the kernel runs no 32-bit code, the program runs under emulation (tests/wine/root.sh);
# the demo says which way it ran.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh

state="$PWD/build/demo-wine"
trap 'tests/wine/winenv.sh stop "$state"' EXIT
echo "Starting a private Wine desktop (the first time takes about 20 s)..."
tests/wine/winenv.sh start "$state"
echo "Wine: $(tests/wine/winenv.sh route "$state")"
build=build/mingw-i686
cmake --preset mingw-i686 -DWINE_ENV_DIR="$PWD/build/wine-env" >/dev/null
cmake --build "$build" -j "$(nproc)" --target trayredraw demo >/dev/null
echo "== $build/trayredraw.exe"
tests/wine/winenv.sh run "$state" "$build/tests/demo.exe" "$PWD/$build/trayredraw.exe"
