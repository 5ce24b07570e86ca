#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what building and testing the helper need, and says which Wine will run the
# Windows programs. Idempotent and quiet: when everything is present it only checks.
#
# The host gets amd64 packages alone: its package architectures are never changed. The
# Windows programs run in the Wine of tests/wine/root.sh, a Debian root built here once
# per machine, on any kernel; the host's own Wine only where it already runs 32-bit
# programs (wine32 installed and working: a user's own desktop).
set -euo pipefail
cd "$(dirname "$0")/.."
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

packages=(
  cmake g++ clang clang-tidy cppcheck libclang-rt-14-dev googletest
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64
  xvfb xauth
  # A real tray host: for the Java keeper's tests, its screen test and the demo; and Xlib,
  # for the screen test's own tray host, which takes the tray over.
  trayer libx11-dev
  # Wine's root: built by mmdebstrap, entered through bubblewrap; arch-test asks the
  # kernel whether it runs 32-bit code.
  mmdebstrap bubblewrap arch-test
  default-jdk-headless
  # The Java library's Maven build, offline: Debian's repository holds these plugins.
  maven junit5 libsurefire-java libmaven-compiler-plugin-java libmaven-jar-plugin-java
  libmaven-resources-plugin-java libmaven-install-plugin-java
  libmaven-source-plugin-java libmaven-javadoc-plugin-java libmaven-enforcer-plugin-java
  # Signing a release, and the test that signs with a throwaway certificate.
  osslsigncode openssl
)

missing=()
for p in "${packages[@]}"; do
  # A status other than installed counts as missing.
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  # Tried a few times: a mirror in the middle of a sync fails an index now and then, and
  # an index the host does not need (an i386 one that an earlier set-up added) must never
  # stop a set-up. After the last try the install goes on with the lists that arrived.
  for try in 1 2 3; do
    $sudo apt-get update -qq >/dev/null 2>&1 && break
    echo "bootstrap: apt-get update failed (try $try of 3)" >&2
    [ $try -eq 3 ] || sleep $((try * 5))
  done
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if tests/wine/root.sh host; then
  echo "bootstrap: the host's Wine runs 32-bit programs; it runs the tests" >&2
  exit 0
fi
tests/wine/root.sh build
echo "bootstrap: Wine runs in $(tests/wine/root.sh dir); this kernel: $(tests/wine/root.sh kernel || true)" >&2
