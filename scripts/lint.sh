#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Static checks of the product code: cppcheck, and clang-tidy (with the checks in
# .clang-tidy) for the native view of the portable files and the Windows view of all.
set -euo pipefail
cd "$(dirname "$0")/.."

product=(registry/*.cpp control/*.cpp notify/*.cpp host/*.cpp)
cppcheck --quiet --enable=warning,style,performance,portability --std=c++17 \
  --error-exitcode=1 --inline-suppr -I . registry control notify host

mingw=(--target=i686-w64-mingw32 -std=c++17 -I. -DWIN32_LEAN_AND_MEAN
       -isystem /usr/lib/gcc/i686-w64-mingw32/12-posix/include
       -isystem /usr/i686-w64-mingw32/include)
for f in "${product[@]}"; do
  clang-tidy --quiet "$f" -- "${mingw[@]}" 2>/dev/null
done
for f in registry/port_table.cpp control/command_text.cpp notify/notify.cpp notify/pause.cpp; do
  clang-tidy --quiet "$f" -- -std=c++17 -I. 2>/dev/null
done
echo "lint: clean"
