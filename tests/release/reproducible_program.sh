#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# One commit gives the same program to the byte wherever it is built: the source is
# copied to another path, both copies are configured with the same preset into fresh
# build folders at paths of their own, trayredraw is built in each, and the two programs
# are compared. This is what lets anyone check a published program against its source.
# The second configuring puts seconds between the two links, so a time stamp shows too.
#
#   reproducible_program.sh SOURCE_DIR PRESET
set -euo pipefail
src=$(cd "${1:?usage: reproducible_program.sh SOURCE_DIR PRESET}" && pwd)
preset=${2:?usage: reproducible_program.sh SOURCE_DIR PRESET}

work=$(mktemp -d "${TMPDIR:-/tmp}/trayredraw-reproducible.XXXXXX")
trap 'rm -rf "$work"' EXIT

copy="$work/a-copy-of-the-source"
mkdir -p "$copy" "$work/second/build"
tar -C "$src" --exclude=./build --exclude=./.git --exclude=./clients/java/target -cf - . |
  tar -C "$copy" -xf -

# Unsigned, whatever the environment says: a signature carries its own time.
build() {
  local source=$1 dir=$2
  if ! (cd "$source" &&
        cmake --preset "$preset" -B "$dir" -DTRAYREDRAW_SIGN_PKCS12= &&
        cmake --build "$dir" --target trayredraw) >"$dir.log" 2>&1; then
    tail -n 40 "$dir.log"
    echo "reproducible_program: building $preset from $source in $dir failed" >&2
    exit 1
  fi
}
build "$src" "$work/first"
build "$copy" "$work/second/build"

first="$work/first/trayredraw.exe"
second="$work/second/build/trayredraw.exe"
sha256sum "$first" "$second"
if ! cmp "$first" "$second"; then
  echo "reproducible_program: the two $preset programs differ (offset, then the bytes in octal):" >&2
  cmp -l "$first" "$second" | head -n 20 >&2
  exit 1
fi
echo "reproducible_program: $preset: the same $(stat -c %s "$first") bytes from both builds"
