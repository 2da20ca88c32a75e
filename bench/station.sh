#!/usr/bin/env bash
# The time a station loop (fwimage download --repeat) takes between two units
# outside the library's calls: from the end of one unit's last call to the
# next unit's DFU_Reset_To_ISP, with the library's process kept between them.
# Goal: under 50 ms per unit.
#
#   bench/station.sh [BUILD_DIR]
#
# Runs the station row of the console end-to-end tests (Console.StationLoop,
# three units on a real console against the scripted DFU.dll) RUNS times
# under Wine and prints the gaps it measured, their median and the goal.
# BUILD_DIR: the Windows build (default build/windows, made by the test
# command). Environment: RUNS (default 5), BENCH_PREFIX (the Wine prefix;
# default build/bench-station-wineprefix, made once).
set -euo pipefail

export LC_ALL=C
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$repo/build/windows}")
RUNS=${RUNS:-5}
BENCH_PREFIX=${BENCH_PREFIX:-$repo/build/bench-station-wineprefix}
goal_ms=50
exe=$build/tests/e2e/e2e_console_station.exe
[ -f "$exe" ] || { echo "no $exe: build the windows preset first" >&2; exit 1; }

# shellcheck source=/dev/null
. "$repo/scripts/wine-env.sh"
fwl_wine "$BENCH_PREFIX" || { echo "could not make the Wine prefix $BENCH_PREFIX" >&2; exit 1; }
fwl_display || exit 1
tmp=$(mktemp -d "${TMPDIR:-/tmp}/bench-station.XXXXXX")
trap 'fwl_stop; rm -rf "$tmp"' EXIT
wineserver -p 2>/dev/null || true

gaps=()
for ((i = 0; i < RUNS; i++)); do
  # Output to a file: a pipe from wine may never reach its end.
  if ! FWL_E2E_BIN="Z:$build/bin" fwl_locale wine "$exe" --gtest_filter=Console.StationLoop >"$tmp/out.txt" 2>&1; then
    tr -d '\r' <"$tmp/out.txt" >&2
    echo "the station row failed" >&2
    exit 1
  fi
  line=$(tr -d '\r' <"$tmp/out.txt" | grep -m1 '^station gap: ' || true)
  [[ $line =~ ^station\ gap:\ ([0-9]+)\ ms,\ ([0-9]+)\ ms ]] || { echo "no gap printed" >&2; exit 1; }
  gaps+=("${BASH_REMATCH[1]}" "${BASH_REMATCH[2]}")
  echo "run $((i + 1)): ${BASH_REMATCH[1]} ms, ${BASH_REMATCH[2]} ms"
done
median=$(printf '%s\n' "${gaps[@]}" | sort -n | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }')
verdict=met
((median < goal_ms)) || verdict="NOT met"
echo "median gap between units: $median ms over ${#gaps[@]} gaps; goal: under $goal_ms ms ($verdict)"
