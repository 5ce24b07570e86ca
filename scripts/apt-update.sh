# SPDX-License-Identifier: Apache-2.0
# Sourced by the scripts that install Debian packages, on the host or in the emulated
# root (tests/wine/emu32.sh).
#
# apt_update [PREFIX...]: "apt-get update" run through PREFIX (sudo, a chroot), tried a
# few times. A mirror in the middle of a sync fails an index now and then, and an index
# of an architecture the machine does not need must never stop a set-up: after the last
# try the caller goes on with the lists that did arrive, and the install that follows
# says what is missing.
apt_update() {
  local try
  for try in 1 2 3; do
    "$@" apt-get update -qq >/dev/null 2>&1 && return 0
    echo "apt-get update failed (try $try of 3)" >&2
    sleep $((try * 5))
  done
  echo "apt-get update: going on with the package lists that did arrive" >&2
  return 1
}
