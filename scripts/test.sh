#!/usr/bin/env bash
# Builds everything and runs every test: the portable core natively under
# ASan+UBSan, the converter's fuzz target for a bounded time, and the Windows
# build (unit tests, simulated instrument, end-to-end tests of the window)
# under Wine on a virtual display. Installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${FWL_JOBS:-2}
fuzz_seconds=${FWL_FUZZ_SECONDS:-60}

scripts/deps.sh

summary=()
passed=0
failed=0
count_ctest() {  # adds the counts of a ctest log to the totals
  local line
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1 || true)
  if [[ $line =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=$((failed + BASH_REMATCH[1]))
    passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
  fi
  summary+=("$2: ${line:-no result}")
}

status=0

echo "== native build (ASan + UBSan)"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"
ctest --test-dir build/native --output-on-failure -j "$jobs" 2>&1 | tee build/native-ctest.log || status=1
count_ctest build/native-ctest.log native

if [ -x fuzz/run.sh ]; then
  echo "== fuzzing the converter for ${fuzz_seconds}s"
  if fuzz/run.sh build/fuzz "$fuzz_seconds"; then
    passed=$((passed + 1)); summary+=("fuzz: clean")
  else
    failed=$((failed + 1)); summary+=("fuzz: FAILED"); status=1
  fi
fi

echo "== Windows build (MinGW-w64 i686)"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"

# One virtual display and one prefix for every Windows test, run one at a time.
. scripts/wine-env.sh
export FWL_WINEPREFIX=$root/build/wineprefix
fwl_wine "$FWL_WINEPREFIX"
if [ -n "${CI:-}" ]; then
  unset DISPLAY
fi
fwl_display
trap fwl_stop EXIT

ctest --test-dir build/windows --output-on-failure -j 1 2>&1 | tee build/windows-ctest.log || status=1
count_ctest build/windows-ctest.log windows

echo
printf '%s\n' "${summary[@]}"
echo "$passed passed, $failed failed"
exit $status
