#!/usr/bin/env bash
# Installs, through apt, whatever this project needs to build and test the
# installer on Debian: the i686 mingw-w64 cross compiler, 32-bit Wine, CMake,
# GoogleTest sources, Xvfb for the window tests, the tools of the test bed
# (tinyproxy is its forward proxy, kept from starting a service; faketime
# sets the clock of the tests' time-stamp service) and osslsigncode, which
# signs a release. osslsigncode reaches a key in a token or key service
# through OpenSSL's pkcs11 engine (libengine-pkcs11-openssl); the tests put a
# throwaway key in a SoftHSM2 token (softhsm2) and write its certificate
# there with OpenSC's pkcs11-tool (opensc).
# wine64 is named because hosts that cannot run 32-bit processes also test an
# x86_64 build, and "wine" alone is satisfied by wine32. Such hosts run the
# shipped i686 file through QEMU's user-mode emulator: qemu-user 10 from
# bookworm-backports (only that package from that suite; bookworm's own 7.2
# is far too slow for Wine).
# nginx serves ranges in a test and the benchmark's bodies, inside the test
# bed; its package is kept from starting a service.
# Does nothing when everything is already there.
set -euo pipefail

packages=(
  cmake make g++ googletest
  mingw-w64 g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine32:i386 wine64
  xvfb x11-apps imagemagick
  openssl python3 iproute2 util-linux time curl tinyproxy
  clang python3-pefile gnuplot-nox
  osslsigncode faketime libengine-pkcs11-openssl softhsm2 opensc nginx
)

here=$(cd "$(dirname "$0")" && pwd)
emulate=0
if [ "$("$here/i386-mode.sh")" = emulated ]; then emulate=1; fi
qemu_ok() {
  local major
  major=$(qemu-i386 --version 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9]*\)\..*/\1/p')
  [ -n "$major" ] && [ "$major" -ge 10 ]
}

have_i386=0
if dpkg --print-foreign-architectures | grep -qx i386; then have_i386=1; fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

need_qemu=0
if [ "$emulate" = 1 ] && ! qemu_ok; then need_qemu=1; fi

if [ "$have_i386" = 1 ] && [ ${#missing[@]} -eq 0 ] && [ "$need_qemu" = 0 ]; then
  exit 0
fi

if [ "$(id -u)" != 0 ]; then SUDO=sudo; else SUDO=; fi
[ ${#missing[@]} -eq 0 ] || echo "Installing: ${missing[*]}"
if [ "$have_i386" = 0 ]; then
  $SUDO dpkg --add-architecture i386
fi
backports=/etc/apt/sources.list.d/tavro-bookworm-backports.sources
if [ "$need_qemu" = 1 ] && ! grep -rqs "bookworm-backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
  echo "Adding bookworm-backports (for qemu-user only)"
  printf '%s\n' "Types: deb" "URIs: http://deb.debian.org/debian" "Suites: bookworm-backports" \
    "Components: main" "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" | $SUDO tee "$backports" >/dev/null
fi
$SUDO apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
  # A server package would start its service for the machine; the
  # benchmark starts its own, on loopback in the bed.
  policy=/usr/sbin/policy-rc.d
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    trap '$SUDO rm -f "$policy"' EXIT
  fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if [ "$need_qemu" = 1 ]; then
  echo "This host cannot run 32-bit programs: installing qemu-user from bookworm-backports"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
    qemu-user/bookworm-backports >/dev/null
  qemu_ok || { echo "qemu-i386 10 or later is needed and was not installed" >&2; exit 1; }
fi
