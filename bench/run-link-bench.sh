#!/usr/bin/env bash
# The attempt over the bed's far and slow links (tests/bed/link.py): an
# 80 ms, 20 Mbit/s line and a 20 ms, 200 Mbit/s one, each in a bed of its
# own. Rows go to <build>/bench/link-results.txt.
#
#   bench/run-link-bench.sh BUILD_DIR INSTALLER [RTT,MBIT ...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -lt 2 ] || [ ! -f "$1/CMakeCache.txt" ]; then
  echo "usage: $0 BUILD_DIR INSTALLER [RTT_MS,RATE_MBIT ...]" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
installer=$(realpath "$2")
shift 2
links=("$@")
if [ ${#links[@]} = 0 ]; then links=(80,20 20,200); fi
host=$(sed -n 's/^TAVRO_OFFICIAL_HOST:[A-Z]*=//p' "$build/CMakeCache.txt")
export TAVRO_OFFICIAL_HOST=${host:-tavro.example} TAVRO_WINE_RUN=$build/wine-run TAVRO_INSTALLER=$installer
export TAVRO_WINDOW_DRIVER=$build/tests/driver/window_driver.exe TAVRO_SAMPLE_SETUP=$build/tests/driver/sample_setup.exe
if [ ! -d "$build/wineprefix" ]; then "$TAVRO_WINE_RUN" --boot; fi
mkdir -p "$build/bench"
rm -f "$build/bench/link-results.txt" "$build/bench/link-chart.dat"
for link in "${links[@]}"; do
  TAVRO_BED_LINK=$link TAVRO_BED_SITE=none "$here/../tests/bed/in-bed.sh" python3 "$here/link_bench.py" attempt "$build" "$installer"
  TAVRO_BED_LINK=$link "$here/../tests/bed/in-bed.sh" python3 "$here/link_bench.py" window "$build" "$installer"
done
python3 "$here/link_bench.py" chart "$build"
cat "$build/bench/link-results.txt"
echo "link bench: wrote $build/bench/link-results.txt and link-results.png"
