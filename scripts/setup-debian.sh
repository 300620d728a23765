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
# python3-cryptography reads the signer's CAs and the manifest keys in the
# release scripts.
# wine64 is named because hosts that cannot run 32-bit processes also test an
# x86_64 build, and "wine" alone is satisfied by wine32. Such hosts run the
# shipped i686 file through QEMU's user-mode emulator: qemu-user 10 from
# bookworm-backports (only that package from that suite; bookworm's own 7.2
# is far too slow for Wine).
# nginx serves ranges in a test and the benchmark's bodies, inside the test
# bed; its package is kept from starting a service.
# make publish uploads over rsync and ssh (rsync, openssh-client); the test
# of it runs an OpenSSH server of its own in the bed (openssh-server), whose
# package is kept from starting sshd for the machine, now or at boot.
# Does nothing when everything is already there.
set -euo pipefail

packages=(
  cmake make g++ googletest
  mingw-w64 g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine32:i386 wine64
  xvfb x11-apps imagemagick
  openssl python3 iproute2 util-linux time curl tinyproxy
  clang python3-pefile python3-cryptography gnuplot-nox
  osslsigncode faketime libengine-pkcs11-openssl softhsm2 opensc nginx
  rsync openssh-client openssh-server
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
# A mirror caught mid-sync fails one index ("File has unexpected size ...
# Mirror sync in progress?") and apt-get update exits 100 although every
# other index is fresh: try once more, then go on with what was fetched and
# say which indexes are missing.
update_log=$(mktemp /tmp/tavro-apt-update.XXXXXX)
update_indexes() {
  $SUDO apt-get update -qq 2>"$update_log" && return 0
  echo "apt-get update failed; trying once more in 5 s."
  sleep 5
  $SUDO apt-get update -qq 2>"$update_log" && return 0
  cat "$update_log" >&2
  local failed
  failed=$(sed -n 's/^[EW]: Failed to fetch \([^ ]*\).*/\1/p' "$update_log")
  if [ -n "$failed" ]; then
    echo "These package indexes could not be fetched (the mirror may be in the middle of a sync); going on with the others and with what apt already had:"
    printf '  %s\n' $failed
  else
    echo "apt-get update failed (above); going on with the package indexes apt already had."
  fi
}
update_indexes
rm -f "$update_log"

apt_install() {
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
cannot_have() {
  echo "Could not install: $*. Check this machine's apt sources and its network (sudo apt-get update names what fails), then run make setup again." >&2
  exit 1
}
if [ ${#missing[@]} -gt 0 ]; then
  # A server package would start its service for the machine; the
  # benchmark and the tests start their own, on loopback in the bed.
  policy=/usr/sbin/policy-rc.d
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    trap '$SUDO rm -f "$policy"' EXIT
  fi
  # policy-rc.d holds only for the install; Debian's sshd unit and init
  # script also stay down at boot while this file exists. An sshd the
  # machine had before is left as it was.
  if printf '%s\n' "${missing[@]}" | grep -qx openssh-server; then
    $SUDO mkdir -p /etc/ssh
    $SUDO touch /etc/ssh/sshd_not_to_be_run
    echo "openssh-server is installed for the tests only: /etc/ssh/sshd_not_to_be_run keeps its service from starting (remove that file to run sshd on this machine)."
  fi
  if ! apt_install "${missing[@]}"; then
    # With one architecture's index of a suite stale, apt picks amd64
    # packages from that suite and cannot find i386 ones of the same version,
    # which multiarch needs (wine32:i386 beside wine). The release suite's
    # two architectures always agree.
    [ -n "$release" ] || cannot_have "${missing[@]}"
    echo "The packages could not be installed as apt chose them (above): an index that is behind can leave one architecture's packages older than the other's. Trying again with every package from the $release suite alone (apt-get install -t $release)."
    if ! apt_install -t "$release" "${missing[@]}"; then
      # Get what can be had, one package at a time, and name the rest.
      echo "That failed too; installing the packages one at a time."
      left=()
      for p in "${missing[@]}"; do
        apt_install "$p" 2>/dev/null || apt_install -t "$release" "$p" || left+=("$p")
      done
      [ ${#left[@]} -eq 0 ] || cannot_have "${left[@]}"
    fi
  fi
fi
if [ "$need_qemu" = 1 ]; then
  echo "This host cannot run 32-bit programs: installing qemu-user from bookworm-backports"
  apt_install qemu-user/bookworm-backports || true
  qemu_ok || cannot_have "qemu-user (qemu-i386 10 or later, from bookworm-backports)"
fi
