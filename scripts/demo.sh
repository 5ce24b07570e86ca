#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Shows the helper's main job on Linux: builds the 32-bit program if needed and runs
# the typical road under Wine on a private virtual display, printing a transcript. Where
# the kernel runs no 32-bit code, the program runs under emulation (tests/wine/root.sh);
# the demo says which way it ran. Then, in a second part, the Java keeper on Linux
# itself: a kept icon on a private display of its own, through a restart of the tray
# host and the rest of the screen test, with what the screen showed and screenshots under
# build/demo-java/screens.
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

echo
echo "== A kept Java tray icon on Linux: trayer, the tray host, ended and started again"
echo "A Java application adds a 16x16 icon of a colour no tray host draws with TrayIconKeeper.add"
echo "(and keeps it a second time) on a private display; the pixels of that colour tell where it is."
tests/tray-host/run.sh build/demo-java 1 build/demo-java/screens
