#!/usr/bin/env bash
# Makes throwaway certificates for one test-bed run in directory $1:
#   ca.pem                       the test CA that the bed's trust store gets
#   official.pem/.key            tavro.example and www.tavro.example, from the test CA
#   wrong-name.pem/.key          another name, from the test CA
#   untrusted.pem/.key           the official names, from a CA nobody trusts
#   hostile.pem/.key             evil.example, a foreign host, from the test CA
#   mirror.pem/.key              mirror.example, a mirror host, from the test CA
set -euo pipefail
out=$1
host=${2:-tavro.example}
mkdir -p "$out"
cd "$out"

ca() {  # name subject
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$2" \
    -keyout "$1.key" -out "$1.pem" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}

leaf() {  # name ca san
  openssl req -newkey rsa:2048 -nodes -subj "/CN=${3%%,*}" -keyout "$1.key" -out "$1.csr" 2>/dev/null
  printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$(echo "$3" | sed 's/\([^,]*\)/DNS:\1/g')" > "$1.ext"
  openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -days 2 \
    -extfile "$1.ext" -out "$1.pem" 2>/dev/null
  rm -f "$1.csr" "$1.ext"
}

ca ca "TAVRO test bed CA"
ca rogue-ca "Untrusted test CA"
leaf official ca "$host,www.$host"
leaf wrong-name ca "other-host.example"
leaf untrusted rogue-ca "$host,www.$host"
leaf hostile ca "evil.example"
leaf mirror ca "mirror.example"
