#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Signs a Windows program in place with an Authenticode signature (SHA-256 digest),
# using Debian's osslsigncode. The build runs it on trayredraw.exe right after linking
# when TRAYREDRAW_SIGN_PKCS12 names a certificate; the signing test runs it on a copy.
#
#   sign.sh PKCS12_FILE PROGRAM
#
# The certificate file's password comes from the environment, TRAYREDRAW_SIGN_PASSWORD
# (set but empty for a file without one). It reaches osslsigncode through a pipe, never
# on a command line, which other users of the machine can read.
#
# A signing that fails deletes the program: a build must not hand on an unsigned
# program as if it were signed, and without the file the next build links it again.
set -euo pipefail
usage="usage: sign.sh PKCS12_FILE PROGRAM"
pkcs12=${1:?$usage}
program=${2:?$usage}

fail() {
  rm -f "$program" "$program.signing"
  echo "sign.sh: $*; $program deleted" >&2
  exit 1
}
command -v osslsigncode >/dev/null ||
  fail "osslsigncode is not installed (Debian: apt-get install osslsigncode)"
[ -r "$pkcs12" ] || fail "cannot read the certificate file $pkcs12"
[ "${TRAYREDRAW_SIGN_PASSWORD+set}" = set ] ||
  fail "TRAYREDRAW_SIGN_PASSWORD is not set: the password of $pkcs12 (empty if it has none)"

# osslsigncode reads the password from its standard input, which printf (a shell
# builtin, so no process shows it either) feeds; a file without a password takes none.
readpass=()
[ -z "$TRAYREDRAW_SIGN_PASSWORD" ] || readpass=(-readpass /dev/stdin)
rm -f "$program.signing"
printf '%s' "$TRAYREDRAW_SIGN_PASSWORD" |
  osslsigncode sign -pkcs12 "$pkcs12" "${readpass[@]}" -h sha256 -n trayredraw \
    -in "$program" -out "$program.signing" >/dev/null ||
  fail "osslsigncode could not sign $program"
chmod --reference="$program" "$program.signing"
mv -f "$program.signing" "$program"
