#!/usr/bin/env bash
# Compiles every source of the program and its release tool with a second compiler, clang for the
# mingw-w64 target, warnings as errors, and links the .exe, so that code only
# one compiler accepts is caught. Used by the tests.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
clang=$(command -v clang++ || command -v clang++-14)
gcc_dir=$(ls -d /usr/lib/gcc/i686-w64-mingw32/*-win32 | sort -V | tail -n 1)
out=$(mktemp -d /tmp/tavro-clang.XXXXXX)
trap 'rm -rf "$out"' EXIT
flags=(--target=i686-w64-mingw32 -std=c++17 -Wall -Wextra -Wpedantic -Werror -Os
       -isystem "$gcc_dir/include/c++" -isystem "$gcc_dir/include/c++/i686-w64-mingw32"
       -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -DNOMINMAX -D_WIN32_WINNT=0x0601 -DWINVER=0x0601
       -I "$src")
objects=()
for source in "$src"/app/*.cpp "$src"/platform/*.cpp "$src"/release/*.cpp "$src"/release/transfer/*.cpp \
  "$src"/release/trust/*.cpp "$src"/storage/*.cpp; do
  object="$out/$(basename "$source" .cpp).o"
  "$clang" "${flags[@]}" -c "$source" -o "$object"
  objects+=("$object")
done
# What a build with TAVRO_PUBLISHER adds: compiled only.
for source in "$src"/app/entry_point.cpp "$src"/release/install_attempt.cpp; do
  "$clang" "${flags[@]}" '-DTAVRO_PUBLISHER="Clang Check Publisher"' -c "$source" \
    -o "$out/publisher-$(basename "$source" .cpp).o"
done
# The release tool's own sources: compiled only (the installer links none of them).
for source in "$src"/publish/*.cpp; do
  "$clang" "${flags[@]}" -c "$source" -o "$out/publish-$(basename "$source" .cpp).o"
done
i686-w64-mingw32-windres -I "$src/resources" -i "$src/resources/installer.rc" -o "$out/resources.o"
"$clang" --target=i686-w64-mingw32 -static -municode -mwindows -L"$gcc_dir" -o "$out/installer.exe" \
  "${objects[@]}" "$out/resources.o" -lwinhttp -lbcrypt -lcomctl32 -lwintrust -lcrypt32 -lshell32 -luser32 -lgdi32
echo "clang: ${#objects[@]} sources compiled with -Werror and linked ($(stat -c %s "$out/installer.exe") bytes)"
