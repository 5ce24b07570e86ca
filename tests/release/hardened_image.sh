#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# What strict reviewers read in the program's headers: a random base with relocations,
# DEP, terminal-server awareness, high entropy and unwind tables (x86_64) or NO_SEH
# (i686); KnownDLLs alone imported; no section both writable and executable.
#   hardened_image.sh OBJDUMP PROGRAM
set -euo pipefail
objdump=${1:?usage: hardened_image.sh OBJDUMP PROGRAM} program=${2:?usage: hardened_image.sh OBJDUMP PROGRAM}
fail() { echo "hardened_image: $program: $*" >&2; exit 1; }
u16() { od -An -tu2 -j "$1" -N 2 "$program" | tr -d ' '; }
u32() { od -An -tu4 -j "$1" -N 4 "$program" | tr -d ' '; }
pe=$(u32 60) && optional=$((pe + 24)) && flags=$(u16 $((optional + 70)))
need() { (( flags & $1 )) || fail "DllCharacteristics $(printf %#x "$flags") lack $2 ($1)"; }
need 0x0040 DYNAMIC_BASE; need 0x0100 NX_COMPAT; need 0x8000 TERMINAL_SERVER_AWARE
case $(u16 $((pe + 4))) in
  $((0x8664))) need 0x0020 HIGH_ENTROPY_VA; directories=$((optional + 112))
    (( $(u32 $((directories + 3 * 8 + 4))) > 0 )) || fail "no unwind tables (exception directory)" ;;
  $((0x14c))) need 0x0400 NO_SEH; directories=$((optional + 96)) ;;
  *) fail "neither an x86_64 nor an i686 program" ;;
esac
(( ($(u16 $((pe + 22))) & 0x0001) == 0 && $(u32 $((directories + 5 * 8 + 4))) > 0 )) ||
  fail "no base relocations: the system could only load it at its preferred base"
known=" advapi32.dll comdlg32.dll gdi32.dll imagehlp.dll imm32.dll kernel32.dll msctf.dll
  msvcrt.dll normaliz.dll nsi.dll ole32.dll oleaut32.dll psapi.dll sechost.dll setupapi.dll
  shell32.dll shlwapi.dll user32.dll wldap32.dll ws2_32.dll "
imports=$("$objdump" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ -n "$imports" ] || fail "objdump found no imports"
for dll in $imports; do
  [[ $known == *[[:space:]]${dll,,}[[:space:]]* ]] || fail "imports $dll, which is no KnownDLL"
done
table=$((optional + $(u16 $((pe + 20))))) && count=$(u16 $((pe + 6)))
for ((at = table; at < table + 40 * count; at += 40)); do
  (( ($(u32 $((at + 36))) & 0xA0000000) != 0xA0000000 )) ||
    fail "section $(dd if="$program" bs=1 skip=$at count=8 2>/dev/null | tr -d '\0') is writable and executable"
done
echo "hardened_image: $program: $(printf %#x "$flags"), imports $(echo $imports), no section writable and executable"
