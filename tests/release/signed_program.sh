#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A program signed by the build's own signing step carries an Authenticode signature
# that covers its bytes, gives back exactly its unsigned bytes when the signature is
# removed (how a signed release is checked against its source), and still runs the
# typical road under Wine.
#
#   signed_program.sh SIGN_SCRIPT PROGRAM DEMO WINENV WINE_ENV_DIR
#
# Signs a copy with a throwaway self-signed certificate; the build's program is left
# alone.
set -euo pipefail
usage="usage: signed_program.sh SIGN_SCRIPT PROGRAM DEMO WINENV WINE_ENV_DIR"
sign=${1:?$usage} program=${2:?$usage} demo=${3:?$usage} winenv=${4:?$usage}
envdir=${5:?$usage}

fail() { echo "signed_program: $*" >&2; exit 1; }
for tool in openssl osslsigncode; do
  command -v "$tool" >/dev/null ||
    fail "$tool is not installed (scripts/bootstrap.sh installs it; Debian: apt-get install $tool)"
done
osslsigncode --version 2>&1 | head -n 1

work=$(mktemp -d "${TMPDIR:-/tmp}/trayredraw-signed.XXXXXX")
trap 'rm -rf "$work"' EXIT

# A certificate for code signing that nobody else trusts, and its PKCS#12 file.
export TRAYREDRAW_SIGN_PASSWORD="throwaway $$"
if ! { openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=trayredraw test signer" \
         -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
         -keyout "$work/key.pem" -out "$work/cert.pem" &&
       openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" \
         -out "$work/signer.p12" -passout env:TRAYREDRAW_SIGN_PASSWORD; } >"$work/openssl.log" 2>&1; then
  cat "$work/openssl.log" >&2
  fail "openssl could not make the test certificate"
fi

# The program as linked: a build that signs it already has its signature taken off.
osslsigncode remove-signature -in "$program" -out "$work/unsigned.exe" >/dev/null 2>&1 ||
  cp "$program" "$work/unsigned.exe"
cp "$work/unsigned.exe" "$work/signed.exe"
bash "$sign" "$work/signer.p12" "$work/signed.exe"
echo "signed_program: $(stat -c %s "$work/unsigned.exe") bytes unsigned, $(stat -c %s "$work/signed.exe") signed"

# Verifies FILE against the test certificate, named as the one root to trust: it chains
# to no root the system knows. Leaves osslsigncode's report in FILE.verify; tells
# whether it was satisfied.
verify() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >"$1.verify" 2>&1; }
digest() { sed -n "s/^$1 message digest *: *\([0-9A-Fa-f]*\).*/\1/p" "$2" | head -n 1; }

verify "$work/signed.exe" || { cat "$work/signed.exe.verify" >&2; fail "the signed program does not verify"; }
grep -q '^Signature verification: ok' "$work/signed.exe.verify" ||
  { cat "$work/signed.exe.verify" >&2; fail "osslsigncode did not say the signature verifies"; }
current=$(digest Current "$work/signed.exe.verify")
calculated=$(digest Calculated "$work/signed.exe.verify")
[ -n "$current" ] && [ "$current" = "$calculated" ] ||
  { cat "$work/signed.exe.verify" >&2; fail "the signed digest ($current) is not the program's ($calculated)"; }
echo "signed_program: signature verifies, digest $current"

# The signature covers the program: one byte changed in its middle fails the check.
cp "$work/signed.exe" "$work/changed.exe"
at=$(( $(stat -c %s "$work/unsigned.exe") / 2 ))
byte=$(od -An -tu1 -j "$at" -N 1 "$work/changed.exe" | tr -d ' ')
printf "\\$(printf %o $(( byte ^ 255 )))" | dd of="$work/changed.exe" bs=1 seek="$at" conv=notrunc 2>/dev/null
! verify "$work/changed.exe" ||
  { cat "$work/changed.exe.verify" >&2; fail "a program changed after signing still verifies"; }
[ "$(digest Calculated "$work/changed.exe.verify")" != "$current" ] ||
  { cat "$work/changed.exe.verify" >&2; fail "a byte changed at $at is not covered by the digest"; }
echo "signed_program: a byte changed at offset $at fails verification"

# Taking the signature off gives back the unsigned program, byte for byte.
osslsigncode remove-signature -in "$work/signed.exe" -out "$work/removed.exe" >/dev/null
cmp "$work/removed.exe" "$work/unsigned.exe" ||
  fail "the program without its signature is not the unsigned program"
echo "signed_program: without its signature, the unsigned program's bytes"

# The signed program does its job.
"$winenv" run "$envdir" "$demo" "$work/signed.exe" ||
  fail "the typical road with the signed program failed (exit code $?)"
echo "signed_program: the signed program ran the typical road"
