#!/usr/bin/env bash
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
for preset in native native-asan mingw-i686 mingw-x86_64; do
  extra=()
  # Both Windows builds share one Wine prefix: making one costs about 20 s.
  case $preset in mingw-*) extra=(-DWINE_ENV_DIR="$PWD/build/wine-env") ;; esac
  echo "== $preset"
  cmake --preset "$preset" "${extra[@]}" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" >/dev/null
  ctest --preset "$preset" -j "$jobs" || status=1
done
echo "== fuzz"
bash scripts/fuzz.sh || status=1
exit $status
