#!/usr/bin/env bash
# Signs a Windows program with Authenticode (SHA-256) through osslsigncode,
# checks the signature and lists the signed file in SHA256SUMS beside it:
#
#   sign-release.sh UNSIGNED_EXE SIGNED_EXE   (the same path twice signs in place)
#   sign-release.sh --check                   the dry run; writes nothing
#
# The dry run does what signing does, on a scratch file in a private
# directory it then removes: opens the key, signs, checks the certificate and
# its chain, asks the time-stamp server and verifies its answer.
#
# Settings come from the environment only. There is no default key, so
# nothing is ever signed with a key nobody named. The key is either
#   in a token, HSM or cloud key service, reached through PKCS#11:
#     TAVRO_SIGN_PKCS11_MODULE  the PKCS#11 module (.so) of the token or service
#     TAVRO_SIGN_KEY            the private key's pkcs11: URI
#     TAVRO_SIGN_CERT           the certificate: its pkcs11: URI on the token,
#                               or a PEM file (which may hold the chain as well)
#     TAVRO_SIGN_CHAIN          optional PEM file of intermediate certificates
#     TAVRO_SIGN_PIN_FILE       file whose first line is the PIN; without it
#                               the token asks for its PIN itself
#   or in a PKCS#12 file (tests, private CAs):
#     TAVRO_SIGN_PKCS12         .p12/.pfx: code-signing key, certificate, chain
#     TAVRO_SIGN_PASSWORD_FILE  file whose first line is its password, or
#     TAVRO_SIGN_PASSWORD       the password itself
# A password or PIN reaches the tools through a private file, never a
# command line. And:
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
#   TAVRO_SIGN_PUBLISHER      the build's TAVRO_PUBLISHER (make release passes
#                             it): the certificate must name that publisher
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

check_only=0
if [ $# -eq 1 ] && [ "$1" = --check ]; then
  check_only=1
elif [ $# -eq 2 ]; then
  unsigned=$1
  signed=$2
else
  fail "usage: sign-release.sh UNSIGNED_EXE SIGNED_EXE, or sign-release.sh --check"
fi

# An older signed file must not pass for this build's. In place, the input
# is the file to sign: nothing touches it until its signed form replaces it.
if [ "$check_only" = 0 ]; then
  if [ ! -e "$signed" ] || ! [ "$unsigned" -ef "$signed" ]; then
    rm -f "$signed"
    "$here/sha256sums.sh" drop "$signed"
  fi
  [ -f "$unsigned" ] || fail "$unsigned does not exist; build it first (make build)."
fi

# Exactly one key, with what it needs.
pkcs11_set=${TAVRO_SIGN_PKCS11_MODULE:-}${TAVRO_SIGN_KEY:-}
if [ -n "${TAVRO_SIGN_PKCS12:-}" ] && [ -n "$pkcs11_set" ]; then
  fail "Both TAVRO_SIGN_PKCS12 and a PKCS#11 key (TAVRO_SIGN_PKCS11_MODULE, TAVRO_SIGN_KEY) are set: unset the one not meant."
fi
if [ -n "$pkcs11_set" ]; then
  route=pkcs11
  module=${TAVRO_SIGN_PKCS11_MODULE:-}
  key=${TAVRO_SIGN_KEY:-}
  cert=${TAVRO_SIGN_CERT:-}
  [ -n "$module" ] || fail "TAVRO_SIGN_KEY is set but TAVRO_SIGN_PKCS11_MODULE is not: set it to the PKCS#11 module (.so) of the token or key service."
  [ -f "$module" ] || fail "TAVRO_SIGN_PKCS11_MODULE names $module, which does not exist."
  case "$key" in
    pkcs11:*) ;;
    "") fail "TAVRO_SIGN_PKCS11_MODULE is set but TAVRO_SIGN_KEY is not: set it to the pkcs11: URI of the private key." ;;
    *) fail "TAVRO_SIGN_KEY must be a pkcs11: URI (pkcs11:token=...;object=...;type=private), not $key." ;;
  esac
  case "$cert" in
    pkcs11:*) ;;
    "") fail "No certificate: set TAVRO_SIGN_CERT to its pkcs11: URI on the token, or to a PEM file." ;;
    *) [ -f "$cert" ] || fail "TAVRO_SIGN_CERT names $cert, which does not exist." ;;
  esac
  if [ -n "${TAVRO_SIGN_CHAIN:-}" ] && [ ! -f "$TAVRO_SIGN_CHAIN" ]; then
    fail "TAVRO_SIGN_CHAIN names $TAVRO_SIGN_CHAIN, which does not exist."
  fi
  if [ -n "${TAVRO_SIGN_PASSWORD_FILE:-}" ] || [ -n "${TAVRO_SIGN_PASSWORD+set}" ]; then
    fail "TAVRO_SIGN_PASSWORD and TAVRO_SIGN_PASSWORD_FILE are for a PKCS#12 file: the token's PIN comes from TAVRO_SIGN_PIN_FILE, or from the token's own prompt."
  fi
  secret_file=${TAVRO_SIGN_PIN_FILE:-}
  secret_name=TAVRO_SIGN_PIN_FILE
  key_text="$key through $module"
  cert_text=$cert
elif [ -n "${TAVRO_SIGN_PKCS12:-}" ]; then
  route=pkcs12
  p12=$TAVRO_SIGN_PKCS12
  [ -f "$p12" ] || fail "TAVRO_SIGN_PKCS12 names $p12, which does not exist."
  if [ -n "${TAVRO_SIGN_PASSWORD_FILE:-}" ] && [ -n "${TAVRO_SIGN_PASSWORD+set}" ]; then
    fail "Both TAVRO_SIGN_PASSWORD_FILE and TAVRO_SIGN_PASSWORD are set: unset one (the file is the safer)."
  fi
  if [ -z "${TAVRO_SIGN_PASSWORD_FILE:-}" ] && [ -z "${TAVRO_SIGN_PASSWORD+set}" ]; then
    fail "No password for $p12: set TAVRO_SIGN_PASSWORD_FILE to a file holding it (or TAVRO_SIGN_PASSWORD to the password)."
  fi
  secret_file=${TAVRO_SIGN_PASSWORD_FILE:-}
  secret_name=TAVRO_SIGN_PASSWORD_FILE
  key_text=$p12
  cert_text=$p12
else
  fail "No signing key: set TAVRO_SIGN_PKCS11_MODULE, TAVRO_SIGN_KEY and TAVRO_SIGN_CERT for a key in a token or key service (PKCS#11), or TAVRO_SIGN_PKCS12 and TAVRO_SIGN_PASSWORD_FILE for a PKCS#12 file (.p12/.pfx)."
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

# The password or PIN is the file's first line without its line end (LF or
# CR LF).
secret=()
if [ -n "$secret_file" ] || [ -n "${TAVRO_SIGN_PASSWORD+set}" ]; then
  line=
  if [ -n "$secret_file" ]; then
    [ -r "$secret_file" ] || fail "$secret_name names $secret_file, which cannot be read."
    IFS= read -r line < "$secret_file" || true
  else
    line=$TAVRO_SIGN_PASSWORD
  fi
  (umask 077 && printf '%s' "${line%$'\r'}" > "$work/secret")
  secret=(-readpass "$work/secret")
fi

# The dry run signs a header-only PE image: enough for osslsigncode, never run.
if [ "$check_only" = 1 ]; then
  unsigned=$work/scratch.exe
  head -c 312 /dev/zero > "$unsigned"
  poke() { printf "$2" | dd of="$unsigned" bs=1 seek="$1" conv=notrunc status=none; }
  poke 0 'MZ'
  poke 60 '\x40'                 # PE header at 64
  poke 64 'PE\x00\x00\x4c\x01'   # i386, no sections
  poke 84 '\xe0\x00\x02\x01'     # optional header size; executable
  poke 88 '\x0b\x01'             # PE32
  poke 180 '\x10'                # 16 data directories
fi

# osslsigncode's own words, where no cause of ours fits.
tool_lines() {
  grep -iE "error|fail" "$1" | grep -vx "Failed" | head -n 5 >&2 || true
}

# Signing comes first, so whatever osslsigncode can open is accepted and a
# token asks for its PIN once; what the signature holds is checked after.
if [ "$route" = pkcs12 ]; then
  key_args=(-pkcs12 "$p12")
else
  key_args=(-pkcs11module "$module" -key "$key")
  case "$cert" in
    pkcs11:*) key_args+=(-pkcs11cert "$cert") ;;
    *) key_args+=(-certs "$cert") ;;
  esac
  if [ -n "${TAVRO_SIGN_CHAIN:-}" ]; then key_args+=(-ac "$TAVRO_SIGN_CHAIN"); fi
fi
info=()
if [ -n "${TAVRO_SIGN_INFO_URL:-}" ]; then info=(-i "$TAVRO_SIGN_INFO_URL"); fi
if ! osslsigncode sign "${key_args[@]}" "${secret[@]}" -h sha256 -n "$TAVRO_SIGN_NAME" "${info[@]}" \
    -in "$unsigned" -out "$work/signed.exe" >"$work/sign.log" 2>&1; then
  said() { grep -qF "$1" "$work/sign.log"; }
  if [ "$route" = pkcs12 ]; then
    if said "mac verify failure"; then fail "Cannot open $p12 with the password given (wrong password)."; fi
    if said "Failed to extract PKCS#12 data"; then fail "$p12 is not a PKCS#12 file."; fi
  else
    if said "Unable to load module"; then fail "TAVRO_SIGN_PKCS11_MODULE names $module, which is not a PKCS#11 module."; fi
    if said "PIN incorrect"; then
      if [ -n "$secret_file" ]; then fail "The token refused the PIN in $secret_file (wrong PIN; a token locks after a few)."; fi
      fail "The token refused the PIN entered (wrong PIN; a token locks after a few)."
    fi
    if said "No PIN code was entered"; then
      fail "No PIN for the token: set TAVRO_SIGN_PIN_FILE to a file holding it, or run this from a terminal, where the token asks for it."
    fi
    if said "The certificate was not found at"; then
      fail "No certificate at $cert through $module: check that the token is there and that the URI names the certificate."
    fi
    if said "The private key was not found at"; then
      fail "No private key at $key through $module: check that the token is there and that the URI names the key."
    fi
  fi
  tool_lines "$work/sign.log"
  fail "osslsigncode could not sign $unsigned with $key_text."
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
  fail "The certificate in $cert_text is not for code signing (it needs extendedKeyUsage codeSigning)."
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
  hint="A certificate from a private CA needs TAVRO_SIGN_CAFILE naming that CA."
  if [ "$route" = pkcs11 ]; then hint="$hint Intermediate certificates the token does not hold go in TAVRO_SIGN_CHAIN."; fi
  fail "The certificate of $subject does not chain to a root in $cafile (${reason:-no chain}); nothing was written. $hint"
fi
if ! signer -checkend $((warn_days * 86400)) >/dev/null; then
  warn "The certificate of $subject expires on $not_after, within $warn_days days: renew it before the next release."
fi

# The publisher as Windows names the signer, and as an installer built with
# TAVRO_PUBLISHER compares it: the common name, else the organisational unit,
# the organisation, the e-mail address.
name_field() { signer -subject -nameopt multiline,utf8,-esc_msb | sed -n "s/^ *$1 *= //p" | head -n 1; }
publisher=
for field in commonName organizationalUnitName organizationName emailAddress; do
  publisher=$(name_field "$field")
  [ -z "$publisher" ] || break
done
if [ -n "${TAVRO_SIGN_PUBLISHER:-}" ] && [ "$publisher" != "$TAVRO_SIGN_PUBLISHER" ]; then
  fail "The certificate names the publisher \"$publisher\", but this build runs only setups signed by \"$TAVRO_SIGN_PUBLISHER\" (TAVRO_PUBLISHER): setups signed with it would not run; nothing was written."
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

if [ "$check_only" = 1 ]; then
  echo "Key: $key_text"
  echo "Signer: $subject, valid until $not_after"
  echo "Publisher: $publisher"
  echo "Chain: verifies against $cafile"
  if [ -n "$timestamp_url" ]; then
    echo "Time stamp: $timestamp_url answered within $timestamp_seconds s, verified against $tsa_cafile"
  else
    echo "Time stamp: no server set"
  fi
  echo "Ready to sign. Nothing was written."
  exit 0
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
echo "Publisher: $publisher"
echo "Time stamp: $timestamp_text"
echo "Checksums: $(dirname "$signed")/SHA256SUMS"
