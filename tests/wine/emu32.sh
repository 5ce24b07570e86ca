#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# 32-bit Windows programs on a kernel that runs no 32-bit code. Such a kernel refuses
# every i386 ELF program, so Wine's 32-bit loader cannot start; here it runs under user
# mode emulation instead. An amd64 Debian root under build/ holds a Wine with both
# halves (one version for both architectures, from the release's main archive only,
# so the host's architectures are never touched); binfmt_misc hands every i386 ELF
# program to qemu-i386, while wineserver and the 64-bit parts run natively.
#
#   emu32.sh native              exit 0 if this kernel runs 32-bit code without us
#   emu32.sh setup               build the root once (kept under build/; about 2 minutes, 3 GB)
#   emu32.sh ready               exit 0 if the root has been built
#   emu32.sh up                  mount what the root shares with the host, register qemu
#   emu32.sh down                undo what "up" did, and only that
#   emu32.sh exec DIR CMD ARGS   run a command inside the root, from folder DIR
#
# Inside the root the host's /tmp (the X display's socket, the tests' temporary files)
# and this checkout are seen at the same paths as outside, so a path means the same on
# both sides.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
checkout=$(cd "$here/../.." && pwd)
. "$checkout/scripts/apt-update.sh"
base="$checkout/build/emu32"
root="$base/root"
# The emulator, taken out of the qemu-user package.
qemu="$base/qemu-i386"
entry=trayredraw-i386
binfmt=/proc/sys/fs/binfmt_misc
suite=bookworm

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# The smallest static i386 ELF program: it exits with 7, which only a kernel that ran it
# (or an emulator registered for it) can answer.
probe_32bit() {
  local probe
  probe=$(mktemp)
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\x31\xdb\xb3\x07\x31\xc0\x40\xcd\x80' >"$probe"
  chmod +x "$probe"
  local status=0
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  [ "$status" -eq 7 ]
}

# The host's own Debian mirror, as apt knows it: the root comes from the same place.
mirror() {
  apt-cache policy 2>/dev/null |
    awk -v s="$suite/main" '$3 == s && $4 == "amd64" { print $2; exit }'
}

in_root() { $sudo chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
  DEBIAN_FRONTEND=noninteractive "$@"; }

mounts() { printf '%s\n' "$root/proc" "$root/dev" "$root/tmp" "$root$checkout"; }

mount_shared() {
  local m
  mountpoint -q "$root/proc" || $sudo mount -t proc proc "$root/proc"
  if ! mountpoint -q "$root/dev"; then
    $sudo mount --rbind /dev "$root/dev"
    # Unmounting our view later must never reach the host's /dev.
    $sudo mount --make-rslave "$root/dev"
  fi
  for m in /tmp "$checkout"; do
    mkdir -p "$root$m"
    if ! mountpoint -q "$root$m"; then
      $sudo mount --bind "$m" "$root$m"
      $sudo mount --make-slave "$root$m"
    fi
  done
}

unmount_shared() {
  local m try
  # Reverse order: the checkout's view last in, first out.
  for m in $(mounts | tac); do
    mountpoint -q "$m" || continue
    for try in 1 2 3 4 5; do
      $sudo umount -R "$m" 2>/dev/null && break
      sleep 1
    done
    # Still busy after five seconds: detach it now, so that no view of the host's
    # folders stays inside build/ for a later "rm -rf build" to walk into.
    if mountpoint -q "$m"; then
      echo "emu32: $m still busy; detaching it" >&2
      $sudo umount -R -l "$m"
    fi
  done
}

ready() { [ -f "$base/ready" ] && [ -x "$qemu" ]; }

setup() {
  ready && return 0
  local site
  site=$(mirror)
  # No package lists yet (an image that came with its packages): fetch them once.
  [ -n "$site" ] || { apt_update $sudo || true; site=$(mirror); }
  [ -n "$site" ] || { echo "emu32: apt knows no $suite mirror to build the root from" >&2; exit 1; }
  command -v debootstrap >/dev/null || { echo "emu32: no debootstrap; run scripts/bootstrap.sh" >&2; exit 1; }
  echo "emu32: building a $suite root with a 32-bit Wine under $base (once per checkout)" >&2
  local started=$SECONDS
  trap 'unmount_shared' EXIT
  if [ ! -f "$base/debootstrap.done" ]; then
    $sudo rm -rf "$root"
    mkdir -p "$base"
    $sudo debootstrap --variant=minbase "$suite" "$root" "$site" >"$base/debootstrap.log" 2>&1 ||
      { echo "emu32: debootstrap failed; see $base/debootstrap.log" >&2; exit 1; }
    touch "$base/debootstrap.done"
  fi
  # Main only, for both architectures: one Wine version on both sides. The newer
  # emulator comes from backports, but only as a file to unpack, never installed.
  printf 'deb %s %s main\n' "$site" "$suite" | $sudo tee "$root/etc/apt/sources.list" >/dev/null
  printf 'deb %s %s-backports main\n' "$site" "$suite" |
    $sudo tee "$root/etc/apt/sources.list.d/backports.list" >/dev/null
  in_root dpkg --add-architecture i386
  mount_shared
  apt_update in_root || true
  in_root apt-get install -y -qq --no-install-recommends wine wine64 wine32:i386 \
    >"$base/apt.log" 2>&1 || { echo "emu32: installing Wine failed; see $base/apt.log" >&2; exit 1; }
  # bookworm's own qemu 7.2 spends about 50 s of CPU on each 32-bit Wine process (its
  # address-space reservation), which no test run can afford; backports' 10.x about
  # 0.4 s. Without it there is no route, and the 32-bit tests are skipped as before.
  local pkg deb="" downloads="$root/var/tmp/qemu" unpacked="$base/qemu-user"
  rm -rf "$unpacked" "$qemu" "$downloads"
  mkdir -p "$downloads"
  for pkg in qemu-user/$suite-backports qemu-user-static/$suite-backports; do
    if in_root sh -c "cd /var/tmp/qemu && apt-get download -qq '$pkg'" >/dev/null 2>&1; then
      deb=$(ls "$downloads"/*.deb | head -1)
      break
    fi
  done
  [ -n "$deb" ] || { echo "emu32: no qemu-user package could be had" >&2; exit 1; }
  dpkg-deb -x "$deb" "$unpacked"
  # qemu-user names it qemu-i386, qemu-user-static qemu-i386-static.
  local name
  for name in qemu-i386 qemu-i386-static; do
    [ -x "$unpacked/usr/bin/$name" ] && cp "$unpacked/usr/bin/$name" "$qemu" && break
  done
  [ -x "$qemu" ] || { echo "emu32: $deb holds no qemu-i386" >&2; exit 1; }
  echo "${deb##*/}" >"$base/qemu.deb"
  unmount_shared
  trap - EXIT
  touch "$base/ready"
  echo "emu32: root ready in $((SECONDS - started)) s ($(cat "$base/qemu.deb"))" >&2
}

register() {
  [ -e "$binfmt/register" ] || $sudo mount -t binfmt_misc binfmt_misc "$binfmt"
  [ -e "$binfmt/$entry" ] && return 0
  # i386 ELF programs of any kind; the F flag opens the emulator now, so it need not
  # exist inside the root.
  printf ':%s:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:%s:F\n' \
    "$entry" "$qemu" | $sudo tee "$binfmt/register" >/dev/null
}

unregister() {
  [ -e "$binfmt/$entry" ] && echo -1 | $sudo tee "$binfmt/$entry" >/dev/null
  return 0
}

case ${1:?usage: emu32.sh native|setup|ready|up|down|exec} in
  native)
    # Our own entry makes every i386 program run: then the kernel alone does not.
    [ ! -e "$binfmt/$entry" ] && probe_32bit ;;
  setup) setup ;;
  ready) ready ;;
  up)
    ready || { echo "emu32: no root; run 'emu32.sh setup' first" >&2; exit 1; }
    mount_shared
    register ;;
  down)
    unregister
    unmount_shared ;;
  exec)
    dir=${2:?usage: emu32.sh exec DIR CMD ARGS}
    shift 2
    # The environment goes along as it is: WINEPREFIX, DISPLAY and WINEDEBUG matter.
    exec $sudo chroot "$root" /bin/sh -c 'cd "$1" 2>/dev/null || cd /; shift; exec "$@"' sh "$dir" "$@" ;;
  *) echo "emu32: unknown command $1" >&2; exit 2 ;;
esac
