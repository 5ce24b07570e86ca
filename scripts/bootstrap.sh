#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages that building and testing the helper need. Idempotent
# and quiet: when everything is present it only checks and exits.
#
# What the machine runs decides what it gets. Where the kernel runs 32-bit code, the
# host's Wine gets its 32-bit half (wine32:i386). Where it does not, the host stays
# amd64 only, and the 32-bit program is run in the emulated root of
# tests/wine/emu32.sh instead, which is built here once.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/apt-update.sh

packages=(
  cmake g++ clang clang-tidy cppcheck libclang-rt-14-dev googletest
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64
  wine wine64 xvfb xauth
  default-jdk-headless
  # The Java library's Maven build, offline: Debian's repository holds these plugins.
  maven junit5 libsurefire-java libmaven-compiler-plugin-java libmaven-jar-plugin-java
  libmaven-resources-plugin-java libmaven-install-plugin-java
  libmaven-source-plugin-java libmaven-javadoc-plugin-java
  # Signing a release, and the test that signs with a throwaway certificate.
  osslsigncode openssl
)
if bash tests/wine/emu32.sh native; then
  native32=yes
  packages+=(wine32:i386)
else
  native32=no
  packages+=(debootstrap)
fi

missing=()
for p in "${packages[@]}"; do
  # dpkg-query knows "wine32:i386" as is; a status other than installed counts as missing.
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

if [ ${#missing[@]} -gt 0 ]; then
  if [ $native32 = yes ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  echo "bootstrap: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt_update $sudo || true
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ $native32 = no ] && ! bash tests/wine/emu32.sh ready; then
  # Without the route the 32-bit program's tests are skipped, not failed: say so loudly.
  bash tests/wine/emu32.sh setup ||
    echo "bootstrap: no emulated route for 32-bit programs; their Windows tests will be skipped" >&2
fi
