#!/usr/bin/env bash
# Runs the benchmarks of a built test tree inside the test bed (loopback
# only) and writes <build>/bench/results.txt and results.png.
#
#   bench/run-bench.sh BUILD_DIR [INSTALLER]
#
# INSTALLER: the .exe whose attempt and start are measured (default: the
# build tree's own). nginx serves the bodies; the bed's Python release site
# is not started.
#
# TAVRO_BENCH_RUNS (at least 5) and TAVRO_BENCH_SIZES ("1 64 512", MiB)
# may be set to change what is measured.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -lt 1 ] || [ $# -gt 2 ] || [ ! -f "$1/CMakeCache.txt" ]; then
  echo "usage: $0 BUILD_DIR [INSTALLER] (a configured and built tree)" >&2
  exit 2
fi
build=$(cd "$1" && pwd)

# The bed must resolve the host this tree was built for.
host=$(sed -n 's/^TAVRO_OFFICIAL_HOST:[A-Z]*=//p' "$build/CMakeCache.txt")
export TAVRO_OFFICIAL_HOST=${host:-tavro.example}
export TAVRO_WINE_RUN=$build/wine-run

if [ ! -d "$build/wineprefix" ]; then "$TAVRO_WINE_RUN" --boot; fi
export TAVRO_BED_SITE=none
exec "$here/../tests/bed/in-bed.sh" python3 "$here/bench.py" "$build" ${2:+"$(realpath "$2")"}
