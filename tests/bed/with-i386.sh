#!/usr/bin/env bash
# Runs a command where 32-bit Linux programs run, and so 32-bit Wine and the
# shipped i686 installer.
#
#   with-i386.sh COMMAND [ARGS...]
#
# On a host that executes them, the command runs as it is. Elsewhere QEMU's
# user-mode emulator (qemu-i386 10 or later; bookworm's 7.2 is far too slow
# for Wine) is registered for i386 ELF files in binfmt_misc: calling qemu by
# hand is not enough, since Wine re-executes itself and starts every Windows
# process as a new 32-bit program. The registration lives in a binfmt_misc
# instance private to a new user namespace (Linux 6.7 and later), so the
# machine is left as it was. Only where the kernel offers no private instance
# is it registered machine-wide, for i386 ELF only, and removed at the end.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [ "${1:-}" = --in-namespace ]; then
  shift
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  printf '%s' "$TAVRO_I386_RULE" > /proc/sys/fs/binfmt_misc/register
  unset TAVRO_I386_RULE
  export TAVRO_I386_READY=emulated
  exec "$@"
fi

# TAVRO_I386_READY tells the command and its children how i386 runs.
if [ -n "${TAVRO_I386_READY:-}" ]; then
  exec "$@"
fi
if [ "$("$here/../../scripts/i386-mode.sh")" = native ]; then
  export TAVRO_I386_READY=native
  exec "$@"
fi

qemu=$(command -v qemu-i386 || true)
version=$("${qemu:-false}" --version 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9]*\)\..*/\1/p')
if [ -z "$version" ] || [ "$version" -lt 10 ]; then
  echo "with-i386.sh: this host cannot run 32-bit programs and has no qemu-i386 10 or later" \
       "(scripts/setup-debian.sh installs qemu-user from bookworm-backports)" >&2
  exit 1
fi
# QEMU's own i386 magic and mask; F opens the emulator now, so the rule also
# works inside the namespaces that the test bed makes later.
name=tavro-qemu-i386-$$
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
export TAVRO_I386_RULE=":$name:M::$magic:$mask:$qemu:F"

if unshare --user --map-root-user --mount sh -c 'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc' \
     2>/dev/null; then
  exec unshare --user --map-root-user --mount "$0" --in-namespace "$@"
fi

# No private instance: machine-wide, for as long as the command runs.
binfmt=/proc/sys/fs/binfmt_misc
[ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
echo "with-i386.sh: no private binfmt_misc here; registering $name machine-wide until the command ends" >&2
printf '%s' "$TAVRO_I386_RULE" > "$binfmt/register"
trap 'echo -1 > "$binfmt/$name"' EXIT
unset TAVRO_I386_RULE
status=0
TAVRO_I386_READY=emulated "$@" || status=$?
exit $status
