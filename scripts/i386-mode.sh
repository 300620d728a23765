#!/usr/bin/env bash
# Prints how this host runs 32-bit Linux programs, and so 32-bit Wine and the
# shipped i686 installer: "native" when the kernel executes them, "emulated"
# when it cannot (some hypervisors turn IA32 emulation off) and QEMU's user
# mode must run them (tests/support/with-i386.sh).
# TAVRO_I386_MODE=emulated takes the emulated road on any host, to prove it.
set -euo pipefail
case "${TAVRO_I386_MODE:-}" in
  native|emulated) echo "$TAVRO_I386_MODE"; exit 0 ;;
  "") ;;
  *) echo "TAVRO_I386_MODE must be native or emulated" >&2; exit 2 ;;
esac
if [ -n "${TAVRO_I386_READY:-}" ]; then
  echo "$TAVRO_I386_READY"   # inside tests/bed/with-i386.sh
  exit 0
fi
# A static i386 program of 93 bytes that only calls exit(0): it needs no
# 32-bit libraries, so the answer does not depend on what is installed.
probe=$(mktemp /tmp/tavro-i386-probe.XXXXXX)
trap 'rm -f "$probe"' EXIT
printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'          >"$probe"  # ident
printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' >>"$probe"  # exec, i386, entry
printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' >>"$probe"  # one program header
printf '\x00\x00\x00\x00'                                                  >>"$probe"  # no section headers
printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' >>"$probe"  # PT_LOAD at 0x8048000
printf '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' >>"$probe"
printf '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80'                              >>"$probe"  # exit(0)
chmod +x "$probe"
if "$probe" 2>/dev/null; then echo native; else echo emulated; fi
