#!/usr/bin/env bash
# Signs a Windows program with Authenticode (SHA-256) through osslsigncode,
# checks the signature and lists the signed file in SHA256SUMS beside it:
#
#   sign-release.sh UNSIGNED_EXE SIGNED_EXE   (the same path twice signs in place)
#
# Settings come from the environment only. There is no default key, so
# nothing is ever signed with a key nobody named:
#   TAVRO_SIGN_PKCS12         PKCS#12 file (.p12/.pfx): code-signing key, certificate, chain
#   TAVRO_SIGN_PASSWORD_FILE  file whose first line is its password, or
#   TAVRO_SIGN_PASSWORD       the password itself (handed to the tools through a
#                             private file, never on a command line)
#   TAVRO_SIGN_NAME           program name in the signature, which Windows shows
#                             in its administrator prompt (make release sets
#                             the web installer's)
#   TAVRO_SIGN_INFO_URL       optional information URL in the signature
#   TAVRO_SIGN_CAFILE         roots the signature must chain to (default: the
#                             system bundle, so a home-made CA does not pass)
#   TAVRO_SIGN_TIMESTAMP_URL  RFC 3161 time-stamp server (a warning without one)
#   TAVRO_SIGN_TSA_CAFILE     roots its time stamp must chain to (default: the
#                             system bundle)
#   TAVRO_SIGN_TIMESTAMP_SECONDS  how long the server may take (default 30)
# SIGNED_EXE exists only once it has been signed and verified; in place, the
# input is replaced only then.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
system_roots=/etc/ssl/certs/ca-certificates.crt
warn_days=30

fail() {
  echo "sign-release: $*" >&2
  exit 1
}

warn() {
  echo "sign-release: warning: $*" >&2
}

[ $# -eq 2 ] || fail "usage: sign-release.sh UNSIGNED_EXE SIGNED_EXE"
unsigned=$1
signed=$2

# An older signed file must not pass for this build's. In place, the input
# is the file to sign: nothing touches it until its signed form replaces it.
if [ ! -e "$signed" ] || ! [ "$unsigned" -ef "$signed" ]; then
  rm -f "$signed"
  "$here/sha256sums.sh" drop "$signed"
fi
[ -f "$unsigned" ] || fail "$unsigned does not exist; build it first (make build)."

if [ -n "${TAVRO_SIGN_PKCS12:-}" ]; then
  p12=$TAVRO_SIGN_PKCS12
  [ -f "$p12" ] || fail "TAVRO_SIGN_PKCS12 names $p12, which does not exist."
  if [ -n "${TAVRO_SIGN_PASSWORD_FILE:-}" ] && [ -n "${TAVRO_SIGN_PASSWORD+set}" ]; then
    fail "Both TAVRO_SIGN_PASSWORD_FILE and TAVRO_SIGN_PASSWORD are set: unset one (the file is the safer)."
  fi
  if [ -z "${TAVRO_SIGN_PASSWORD_FILE:-}" ] && [ -z "${TAVRO_SIGN_PASSWORD+set}" ]; then
    fail "No password for $p12: set TAVRO_SIGN_PASSWORD_FILE to a file holding it (or TAVRO_SIGN_PASSWORD to the password)."
  fi
else
  fail "No signing key: set TAVRO_SIGN_PKCS12 to the PKCS#12 file (.p12/.pfx) with the code-signing key and certificate, and TAVRO_SIGN_PASSWORD_FILE to a file holding its password (or TAVRO_SIGN_PASSWORD to the password)."
fi
[ -n "${TAVRO_SIGN_NAME:-}" ] || fail "No program name: set TAVRO_SIGN_NAME to the name Windows should show for this program (make release sets the web installer's)."

cafile=${TAVRO_SIGN_CAFILE:-$system_roots}
tsa_cafile=${TAVRO_SIGN_TSA_CAFILE:-$system_roots}
[ -f "$cafile" ] || fail "TAVRO_SIGN_CAFILE names $cafile, which does not exist."
[ -f "$tsa_cafile" ] || fail "TAVRO_SIGN_TSA_CAFILE names $tsa_cafile, which does not exist."
timestamp_url=${TAVRO_SIGN_TIMESTAMP_URL:-}
timestamp_seconds=${TAVRO_SIGN_TIMESTAMP_SECONDS:-30}
[[ "$timestamp_seconds" =~ ^[1-9][0-9]*$ ]] ||
  fail "TAVRO_SIGN_TIMESTAMP_SECONDS must be a whole number of seconds, not $timestamp_seconds."
command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (make setup installs it)."

work=$(mktemp -d "${TMPDIR:-/tmp}/tavro-sign.XXXXXX")
placing=
trap 'rm -rf "$work"; if [ -n "$placing" ]; then rm -f "$placing"; fi' EXIT

# The password is the file's first line without its line end (LF or CR LF).
line=
if [ -n "${TAVRO_SIGN_PASSWORD_FILE:-}" ]; then
  [ -r "$TAVRO_SIGN_PASSWORD_FILE" ] || fail "TAVRO_SIGN_PASSWORD_FILE names $TAVRO_SIGN_PASSWORD_FILE, which cannot be read."
  IFS= read -r line < "$TAVRO_SIGN_PASSWORD_FILE" || true
else
  line=$TAVRO_SIGN_PASSWORD
fi
(umask 077 && printf '%s' "${line%$'\r'}" > "$work/secret")

# osslsigncode's own words, where no cause of ours fits.
tool_lines() {
  grep -iE "error|fail" "$1" | grep -vx "Failed" | head -n 5 >&2 || true
}

# Signing comes first, so whatever osslsigncode can open is accepted; what
# the signature holds is checked after.
info=()
if [ -n "${TAVRO_SIGN_INFO_URL:-}" ]; then info=(-i "$TAVRO_SIGN_INFO_URL"); fi
if ! osslsigncode sign -pkcs12 "$p12" -readpass "$work/secret" -h sha256 -n "$TAVRO_SIGN_NAME" "${info[@]}" \
    -in "$unsigned" -out "$work/signed.exe" >"$work/sign.log" 2>&1; then
  said() { grep -qF "$1" "$work/sign.log"; }
  if said "mac verify failure"; then fail "Cannot open $p12 with the password given (wrong password)."; fi
  if said "Failed to extract PKCS#12 data"; then fail "$p12 is not a PKCS#12 file."; fi
  tool_lines "$work/sign.log"
  fail "osslsigncode could not sign $unsigned."
fi

# The certificate that signed, and the chain that came with it.
osslsigncode extract-signature -pem -in "$work/signed.exe" -out "$work/signature.pem" >/dev/null 2>&1
openssl pkcs7 -in "$work/signature.pem" -print_certs -out "$work/certificates.pem"
openssl smime -verify -noverify -nosigs -inform PEM -in "$work/signature.pem" -signer "$work/signer.pem" \
  -out /dev/null 2>/dev/null
signer() { openssl x509 -in "$work/signer.pem" -noout "$@"; }
subject=$(signer -subject -nameopt RFC2253 | sed 's/^subject=//')
not_before=$(signer -startdate | sed 's/^notBefore=//')
not_after=$(signer -enddate | sed 's/^notAfter=//')

# Windows accepts an Authenticode signature only from a certificate for code
# signing; a TLS certificate would sign here and be refused there.
if ! signer -ext extendedKeyUsage 2>/dev/null | grep -q "Code Signing"; then
  fail "The certificate in $p12 is not for code signing (it needs extendedKeyUsage codeSigning)."
fi
if ! signer -checkend 0 >/dev/null; then
  fail "The certificate of $subject expired on $not_after; nothing was written. It needs renewing."
fi
if [ "$(date -d "$not_before" +%s)" -gt "$(date +%s)" ]; then
  fail "The certificate of $subject is not valid before $not_before; nothing was written."
fi
if ! openssl verify -CAfile "$cafile" -untrusted "$work/certificates.pem" "$work/signer.pem" \
    >"$work/chain.log" 2>&1; then
  reason=$(sed -n 's/^error [0-9]* at [0-9]* depth lookup: //p' "$work/chain.log" | head -n 1)
  fail "The certificate of $subject does not chain to a root in $cafile (${reason:-no chain}); nothing was written. A certificate from a private CA needs TAVRO_SIGN_CAFILE naming that CA."
fi
if ! signer -checkend $((warn_days * 86400)) >/dev/null; then
  warn "The certificate of $subject expires on $not_after, within $warn_days days: renew it before the next release."
fi

# A server that accepts and never answers would hold the release for good.
final=$work/signed.exe
if [ -n "$timestamp_url" ]; then
  status=0
  timeout -k 5 "$timestamp_seconds" osslsigncode add -h sha256 -ts "$timestamp_url" \
    -in "$work/signed.exe" -out "$work/stamped.exe" >"$work/timestamp.log" 2>&1 || status=$?
  if [ "$status" = 124 ] || [ "$status" = 137 ]; then
    fail "The time-stamp server $timestamp_url did not answer within $timestamp_seconds s (TAVRO_SIGN_TIMESTAMP_SECONDS); nothing was written."
  elif [ "$status" != 0 ]; then
    tool_lines "$work/timestamp.log"
    fail "The time-stamp server $timestamp_url gave no time stamp; nothing was written."
  fi
  final=$work/stamped.exe
else
  warn "No time-stamp server (TAVRO_SIGN_TIMESTAMP_URL): the signature stops counting when the certificate expires."
fi

# osslsigncode exits 0 when only the time stamp fails to verify; its output
# says so.
if ! osslsigncode verify -in "$final" -CAfile "$cafile" -TSA-CAfile "$tsa_cafile" >"$work/verify.log" 2>&1; then
  tool_lines "$work/verify.log"
  fail "The signed file does not verify against $cafile; nothing was written."
fi
if [ -n "$timestamp_url" ]; then
  if ! grep -qx "Timestamp Server Signature verification: ok" "$work/verify.log"; then
    fail "The time stamp from $timestamp_url does not verify against $tsa_cafile; nothing was written. A time-stamp server under a private CA needs TAVRO_SIGN_TSA_CAFILE naming that CA."
  fi
  timestamp_text="present, from $timestamp_url, verified against $tsa_cafile"
else
  timestamp_text=none
fi

# Through a file beside the target, so the signed file (or, in place, the
# input) is replaced in one step.
unsigned_sha256=$(sha256sum < "$unsigned" | cut -c1-64)
mkdir -p "$(dirname "$signed")"
placing=$(mktemp "$(dirname "$signed")/.$(basename "$signed").XXXXXX")
cp "$final" "$placing"
chmod --reference="$unsigned" "$placing"
mv -f "$placing" "$signed"
placing=
"$here/sha256sums.sh" add "$signed"
echo "Unsigned: $unsigned ($unsigned_sha256)"
echo "Signed: $signed"
echo "SHA-256: $(sha256sum < "$signed" | cut -c1-64)"
echo "Signer: $subject, valid until $not_after"
echo "Time stamp: $timestamp_text"
echo "Checksums: $(dirname "$signed")/SHA256SUMS"
