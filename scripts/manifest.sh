#!/usr/bin/env bash
# Writes or checks the release manifest with the manifest tool built beside
# the installer (build/tavro-manifest.exe, same official host), under Wine,
# and tells what users get from the official host now:
#
#   manifest.sh write SETUP VERSION URL OUT   (OUT is listed in SHA256SUMS beside it)
#   manifest.sh check MANIFEST SETUP
#   manifest.sh live
#
# TAVRO_MANIFEST_TOOL and TAVRO_WINE_RUN name the tool and the Wine runner
# (default: build/ and its i686 test tree, as make builds them).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
tool=${TAVRO_MANIFEST_TOOL:-$src/build/tavro-manifest.exe}
wine_run=${TAVRO_WINE_RUN:-$src/build/test-i686/wine-run}

usage() {
  echo "usage: make manifest SETUP=file VERSION=text URL=https://... [MANIFEST=out]" >&2
  echo "       make check-manifest MANIFEST=file SETUP=file" >&2
  echo "       make check-live" >&2
  exit 2
}

# The Wine (drive Z:) form of a Linux path.
winpath() {
  local path
  path=$(realpath -m -- "$1")
  echo "Z:${path//\//\\}"
}

case "${1:-}" in
  write)
    [ $# -eq 5 ] && [ -n "$2" ] && [ -n "$5" ] || usage
    mkdir -p "$(dirname "$5")"
    # A refused manifest is removed by the tool; so goes its line.
    if "$wine_run" "$tool" write "$(winpath "$2")" "$3" "$4" "$(winpath "$5")"; then
      "$src/scripts/sha256sums.sh" add "$5"
    else
      status=$?
      "$src/scripts/sha256sums.sh" drop "$5"
      exit $status
    fi
    ;;
  check)
    [ $# -eq 3 ] && [ -n "$2" ] && [ -n "$3" ] || usage
    exec "$wine_run" "$tool" check "$(winpath "$2")" "$(winpath "$3")"
    ;;
  live)
    [ $# -eq 1 ] || usage
    exec "$wine_run" "$tool" live
    ;;
  *) usage ;;
esac
