#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Wine that runs the Windows tests, in a Debian root of its own: both halves of one
# Wine version from bookworm's main archive alone, whatever the host's architectures,
# package lists or mirror state. One root serves every kernel: where the kernel runs
# 32-bit code, the root's 32-bit Wine runs natively; where it does not, binfmt_misc
# hands each 32-bit program to the root's qemu-i386 (backports' 10.x starts a 32-bit
# Wine process in about 0.4 s of CPU, bookworm's own 7.2 in about 50 s).
#
#   root.sh dir              print the root's folder, built or not
#   root.sh build            build the root unless a complete one is there
#   root.sh kernel           say what this kernel does with 32-bit code; exit 0 if it runs it
#   root.sh host             exit 0 if the host's own Wine runs 32-bit programs (no root needed)
#   root.sh run CMD ARGS     run CMD inside the root, from the current folder
#   root.sh emulate NAME     hand 32-bit programs to the root's qemu-i386 (binfmt entry NAME)
#   root.sh unemulate NAME   take entry NAME away again
#
# The root is built once per machine under /var/cache/trayredraw, named by a hash of its
# recipe, so that a changed recipe builds a new one. A program runs in it through
# bubblewrap, in a mount namespace that ends with it: nothing stays mounted. Inside, /tmp
# (the display's socket, the tests' files) and this checkout are the host's, at the same
# paths. TRAYREDRAW_EMULATE_I386=1 takes the emulated path on a kernel that needs none.
set -euo pipefail

checkout=$(cd "$(dirname "$0")/../.." && pwd)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
suite=bookworm
recipe=(--variant=apt --architectures=amd64,i386 --aptopt='APT::Install-Recommends "false"'
        --include="wine,wine64,wine32:i386,qemu-user/$suite-backports" "$suite")
components=("$suite main" "$suite-backports main")
cache=/var/cache/trayredraw
[ "$(id -u)" -eq 0 ] || cache=${XDG_CACHE_HOME:-$HOME/.cache}/trayredraw
cache=${TRAYREDRAW_ROOT_CACHE:-$cache}
root="$cache/root-$(printf '%s\n' "${recipe[@]}" "${components[@]}" | sha256sum | cut -c1-12)"
binfmt=/proc/sys/fs/binfmt_misc

build() {
  [ -f "$root/.complete" ] && return 0
  mkdir -p "$cache"
  # One build at a time, also across clones of the checkout; a waiter finds it built.
  exec 9>"$cache/lock"
  flock 9
  [ -f "$root/.complete" ] && return 0
  # The host's own mirror, from apt's sources (no package lists needed), unless
  # TRAYREDRAW_MIRROR names another.
  local site=${TRAYREDRAW_MIRROR:-} try started=$SECONDS log="$cache/build.log" c sources=()
  [ -n "$site" ] || site=$(apt-get indextargets --no-release-info --format '$(SITE) $(RELEASE) $(COMPONENT)' |
    awk -v s="$suite" '$2 == s && $3 == "main" { print $1; exit }')
  [ -n "$site" ] || { echo "root: apt knows no $suite mirror; set TRAYREDRAW_MIRROR" >&2; exit 1; }
  for c in "${components[@]}"; do sources+=("deb $site $c"); done
  echo "root: building Wine's root in $root from $site (once per machine, about a minute)" >&2
  for try in 1 2 3; do
    rm -rf "$root"
    mmdebstrap "${recipe[@]}" "$root" "${sources[@]}" >"$log" 2>&1 && break
    # A mirror in the middle of a sync fails now and then; the last try's log says why.
    echo "root: building failed (try $try of 3; $log)" >&2
    [ $try -lt 3 ] || { rm -rf "$root"; exit 1; }
    sleep $((try * 10))
  done
  touch "$root/.complete"
  echo "root: built in $((SECONDS - started)) s, $(du -sh "$root" | cut -f1)" >&2
}

kernel() {
  # While an entry of ours is registered the kernel cannot be asked: every 32-bit
  # program is emulated then, and so is ours.
  if ls "$binfmt" 2>/dev/null | grep -q '^trayredraw-i386'; then
    echo "unknown (another test environment emulates 32-bit code now)"
    return 1
  fi
  local answer
  answer=$(arch-test i386 2>&1) || true
  echo "$answer"
  [ "$answer" = "i386: ok" ]
}

case ${1:?usage: root.sh dir|build|kernel|host|run|emulate|unemulate} in
  dir) echo "$root" ;;
  build) build ;;
  kernel) kernel ;;
  host)
    [ "${TRAYREDRAW_EMULATE_I386:-0}" != 1 ] && [ -x /usr/lib/wine/wine ] &&
      kernel >/dev/null && /usr/lib/wine/wine --version >/dev/null 2>&1 ;;
  run)
    shift
    [ -f "$root/.complete" ] || { echo "root: not built; run 'root.sh build'" >&2; exit 1; }
    dir=/
    case $PWD in /tmp | /tmp/* | "$checkout" | "$checkout"/*) dir=$PWD ;; esac
    # The environment goes along as it is: WINEPREFIX, DISPLAY and WINEDEBUG matter.
    exec bwrap --bind "$root" / --dev-bind /dev /dev --proc /proc --bind /tmp /tmp \
      --bind "$checkout" "$checkout" --chdir "$dir" "$@" ;;
  emulate)
    [ -e "$binfmt/register" ] || $sudo mount -t binfmt_misc binfmt_misc "$binfmt"
    [ ! -e "$binfmt/${2:?usage: root.sh emulate NAME}" ] || exit 0
    # i386 ELF programs of any kind. F opens the emulator now, so that it is found from
    # inside any mount namespace; an entry comes before the kernel's own loader.
    printf ':%s:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:%s:F\n' \
      "$2" "$root/usr/bin/qemu-i386" | $sudo tee "$binfmt/register" >/dev/null ;;
  unemulate)
    [ ! -e "$binfmt/${2:?usage: root.sh unemulate NAME}" ] || echo -1 | $sudo tee "$binfmt/$2" >/dev/null ;;
  *) echo "root: unknown command $1" >&2; exit 2 ;;
esac
