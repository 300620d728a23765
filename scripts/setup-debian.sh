#!/usr/bin/env bash
# Installs, through apt, whatever this project needs to build and test the
# installer on Debian: the i686 mingw-w64 cross compiler, 32-bit Wine, CMake,
# GoogleTest sources, Xvfb for the window tests and the tools of the test bed.
# wine64 is named because hosts that cannot run 32-bit processes test an
# x86_64 build, and "wine" alone is satisfied by wine32.
# Does nothing when everything is already there.
set -euo pipefail

packages=(
  cmake make g++ googletest
  mingw-w64 g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine32:i386 wine64
  xvfb x11-apps imagemagick
  openssl python3 iproute2 util-linux time curl
  clang python3-pefile gnuplot-nox
)

have_i386=0
if dpkg --print-foreign-architectures | grep -qx i386; then have_i386=1; fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "$have_i386" = 1 ] && [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" != 0 ]; then SUDO=sudo; else SUDO=; fi
echo "Installing: ${missing[*]}"
if [ "$have_i386" = 0 ]; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
