#!/usr/bin/env bash
# Signs the shipped file with Authenticode (SHA-256) through osslsigncode and
# verifies the result:
#
#   sign-release.sh UNSIGNED_EXE SIGNED_EXE
#
# The key comes from the environment only; there is no default, so nothing is
# ever signed with a key nobody named:
#   TAVRO_SIGN_PKCS12         PKCS#12 file (.p12/.pfx): code-signing key, certificate, chain
#   TAVRO_SIGN_PASSWORD_FILE  file whose first line is its password, or
#   TAVRO_SIGN_PASSWORD       the password itself (handed to the tools through a
#                             private file, never on a command line)
#   TAVRO_SIGN_TIMESTAMP_URL  optional RFC 3161 time-stamp server
#   TAVRO_SIGN_CAFILE         roots the signature must chain to (default: the
#                             system bundle, so a home-made CA does not pass)
# SIGNED_EXE exists only once it has been signed and verified.
set -euo pipefail

fail() {
  echo "sign-release: $*" >&2
  exit 1
}

[ $# -eq 2 ] || fail "usage: sign-release.sh UNSIGNED_EXE SIGNED_EXE"
unsigned=$1
signed=$2
# An older signed file must not pass for this build's.
rm -f "$signed"
[ -f "$unsigned" ] || fail "$unsigned does not exist; build it first (make build)."

if [ -z "${TAVRO_SIGN_PKCS12:-}" ]; then
  fail "No signing key: set TAVRO_SIGN_PKCS12 to the PKCS#12 file (.p12/.pfx) with the code-signing key and certificate, and TAVRO_SIGN_PASSWORD_FILE to a file holding its password (or TAVRO_SIGN_PASSWORD to the password)."
fi
[ -f "$TAVRO_SIGN_PKCS12" ] || fail "TAVRO_SIGN_PKCS12 names $TAVRO_SIGN_PKCS12, which does not exist."
if [ -z "${TAVRO_SIGN_PASSWORD_FILE:-}" ] && [ -z "${TAVRO_SIGN_PASSWORD+set}" ]; then
  fail "No password for $TAVRO_SIGN_PKCS12: set TAVRO_SIGN_PASSWORD_FILE to a file holding it (or TAVRO_SIGN_PASSWORD to the password)."
fi
command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (make setup installs it)."

work=$(mktemp -d /tmp/tavro-sign.XXXXXX)
trap 'rm -rf "$work"' EXIT
password_file=${TAVRO_SIGN_PASSWORD_FILE:-}
if [ -z "$password_file" ]; then
  password_file=$work/password
  (umask 077 && printf '%s\n' "$TAVRO_SIGN_PASSWORD" > "$password_file")
fi
[ -r "$password_file" ] || fail "TAVRO_SIGN_PASSWORD_FILE names $password_file, which cannot be read."

# Windows accepts an Authenticode signature only from a certificate for code
# signing; a TLS certificate would sign here and be refused there.
if ! openssl pkcs12 -in "$TAVRO_SIGN_PKCS12" -passin "file:$password_file" -nokeys -clcerts \
    -out "$work/signer.pem" 2>"$work/openssl.err"; then
  fail "Cannot open $TAVRO_SIGN_PKCS12 with the password given (wrong password or not a PKCS#12 file)."
fi
if ! openssl x509 -in "$work/signer.pem" -noout -ext extendedKeyUsage 2>/dev/null | grep -q "Code Signing"; then
  fail "The certificate in $TAVRO_SIGN_PKCS12 is not for code signing (it needs extendedKeyUsage codeSigning)."
fi

timestamp=()
if [ -n "${TAVRO_SIGN_TIMESTAMP_URL:-}" ]; then
  timestamp=(-ts "$TAVRO_SIGN_TIMESTAMP_URL")
fi
if ! osslsigncode sign -pkcs12 "$TAVRO_SIGN_PKCS12" -readpass "$password_file" -h sha256 \
    -n "TAVRO Static Module Web Installer" "${timestamp[@]}" \
    -in "$unsigned" -out "$work/signed.exe" >"$work/sign.log" 2>&1; then
  grep -iE "error|fail" "$work/sign.log" | head -n 5 >&2 || true
  fail "osslsigncode could not sign $unsigned."
fi
cafile=${TAVRO_SIGN_CAFILE:-/etc/ssl/certs/ca-certificates.crt}
if ! osslsigncode verify -in "$work/signed.exe" -CAfile "$cafile" >"$work/verify.log" 2>&1; then
  grep -iE "error|fail" "$work/verify.log" | head -n 5 >&2 || true
  fail "The signed file does not verify against $cafile; nothing was written. (A certificate from a private CA needs TAVRO_SIGN_CAFILE naming that CA.)"
fi

mkdir -p "$(dirname "$signed")"
mv "$work/signed.exe" "$signed"
echo "Unsigned: $unsigned ($(sha256sum < "$unsigned" | cut -d' ' -f1))"
echo "Signed: $signed"
echo "SHA-256: $(sha256sum < "$signed" | cut -d' ' -f1)"
