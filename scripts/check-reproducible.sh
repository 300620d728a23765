#!/usr/bin/env bash
# Builds the shipped .exe twice from this source tree, in two build trees at
# different paths, and checks that both files are byte-identical.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/tavro-repro.XXXXXX)
trap 'rm -rf "$work"' EXIT
for tree in first second-tree-elsewhere; do
  cmake -S "$src" -B "$work/$tree" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-i686-w64-mingw32.cmake" \
    -DTAVRO_MINGW_THREADS=win32 -DTAVRO_BUILD_TESTS=OFF "$@" >/dev/null
  cmake --build "$work/$tree" -j "$(nproc)" >/dev/null
done
a="$work/first/TAVRO-Static-Module-Installer.exe"
b="$work/second-tree-elsewhere/TAVRO-Static-Module-Installer.exe"
if cmp "$a" "$b"; then
  echo "reproducible: $(sha256sum < "$a" | cut -d' ' -f1) ($(stat -c %s "$a") bytes)"
else
  echo "NOT reproducible: the two builds differ"
  exit 1
fi
