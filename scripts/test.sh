#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is missing, then builds and runs every test: the platform-free logic
# natively (plain and under AddressSanitizer/UndefinedBehaviorSanitizer) and both
# Windows builds under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh

jobs=$(nproc)
status=0
echo "== lint"
bash scripts/lint.sh || status=1
# The 64-bit build comes first: the 32-bit build's end-to-end test drives its program too.
for preset in native native-asan mingw-x86_64 mingw-i686; do
  extra=()
  # Both Windows builds share one Wine environment: making a prefix costs about 20 s.
  case $preset in mingw-*) extra=(-DWINE_ENV_DIR="$PWD/build/wine-env") ;; esac
  [ $preset = mingw-i686 ] && extra+=(-DOTHER_BUILD_PROGRAM="$PWD/build/mingw-x86_64/trayredraw.exe")
  echo "== $preset"
  cmake --preset "$preset" "${extra[@]}" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" >/dev/null
  ctest --preset "$preset" -j "$jobs" || status=1
  # What ran the Windows programs, as the test environment found it when it started.
  case $preset in mingw-*) echo "$preset ran in $(tests/wine/winenv.sh route build/wine-env)" ;; esac
done
echo "== fuzz"
bash scripts/fuzz.sh || status=1
exit $status
