#!/bin/sh
# Prints the Windows architecture whose programs Wine can run on this host.
# The shipped installer is i686; a host whose kernel cannot run 32-bit Linux
# processes (some hypervisors turn that off) cannot run 32-bit Wine, so the
# tests then run an x86_64 build of the same sources.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo i686
else
  echo x86_64
fi
