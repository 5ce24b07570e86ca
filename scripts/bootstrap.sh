#!/usr/bin/env bash
# Installs the Debian packages that building and testing the helper need.
# Idempotent and quiet: when everything is present it only checks and exits.
set -euo pipefail

packages=(
  cmake g++ clang clang-tidy cppcheck libclang-rt-14-dev googletest
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64
  wine wine32:i386 wine64 xvfb xauth
  default-jdk-headless
  # The Java library's Maven build, offline: Debian's repository holds these plugins.
  maven junit5 libsurefire-java libmaven-compiler-plugin-java libmaven-jar-plugin-java
  libmaven-resources-plugin-java libmaven-install-plugin-java
  libmaven-source-plugin-java libmaven-javadoc-plugin-java
)

missing=()
for p in "${packages[@]}"; do
  # dpkg-query knows "wine32:i386" as is; a status other than installed counts as missing.
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
echo "bootstrap: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq >/dev/null
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
