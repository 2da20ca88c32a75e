#!/usr/bin/env bash
# Times `fwimage.exe download --yes --quiet IMAGE` of two builds against the
# simulated DFU.dll beside each (no search time, no rate limit), in one Wine
# prefix whose wineserver is kept running, alternating the builds run by run;
# prints each build's median, the ratio B / A and the difference (a build
# that starts the library's process of its own pays one process start more),
# and, as the yardstick for that difference, B's median `fwimage --version`.
#
#   bench/download.sh BIN_A BIN_B [IMAGE]
#
# BIN_A, BIN_B: folders holding fwimage.exe and the simulated DFU.dll
# (build/windows/bin of a build, or a copy of an older build's).
# IMAGE: the image to send; default: 16 MiB of random bytes as a .bin.
# Environment: RUNS (timed runs per build, default 7), FWL_REPO (the checkout
# whose scripts/wine-env.sh sets up Wine; default this one), BENCH_PREFIX
# (the Wine prefix; default build/bench-download-wineprefix, made once),
# KEEP=1 keeps the temporary folder (image, outputs).
set -euo pipefail

export LC_ALL=C
RUNS=${RUNS:-7}
FWL_REPO=${FWL_REPO:-$(cd "$(dirname "$0")/.." && pwd)}
BENCH_PREFIX=${BENCH_PREFIX:-$FWL_REPO/build/bench-download-wineprefix}

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
  sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
fi
bin_a=$(realpath "$1")
bin_b=$(realpath "$2")
for bin in "$bin_a" "$bin_b"; do
  for f in fwimage.exe DFU.dll; do
    [ -f "$bin/$f" ] || { echo "no $f in $bin" >&2; exit 1; }
  done
done
for tool in wine wineserver; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
[ -f "$FWL_REPO/scripts/wine-env.sh" ] || { echo "no scripts/wine-env.sh in $FWL_REPO (set FWL_REPO)" >&2; exit 1; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/bench-download.XXXXXX")
# shellcheck source=/dev/null
. "$FWL_REPO/scripts/wine-env.sh"
started=0
cleanup() {
  ((started)) && fwl_stop
  if [ "${KEEP:-0}" = 1 ]; then echo "files kept in $tmp"; else rm -rf "$tmp"; fi
}
trap cleanup EXIT

if [ $# -eq 3 ]; then
  image=$(realpath "$3")
else
  image=$tmp/image16M.bin
  head -c $((16 << 20)) /dev/urandom >"$image"
fi

fwl_wine "$BENCH_PREFIX" || { echo "could not make the Wine prefix $BENCH_PREFIX" >&2; exit 1; }
started=1
# Kept running for the whole run, so that no run pays for the wineserver's start.
wineserver -p 2>/dev/null || true
export FWL_DFU_RATE=0 FWL_DFU_SEARCH_MS=0
unset FWL_DFU_FAIL FWL_DFU_LOG FWL_DFU_BYTES FWL_DFU_SCRIPT FWL_DFU_CAPACITY

# run BIN: one download; sets NS (nanoseconds). Output goes to files: a pipe
# from wine may never reach its end while Wine's services hold it.
run() {
  local start end code=0
  start=$(date +%s%N)
  fwl_locale wine "$1/fwimage.exe" download --yes --quiet "Z:$image" \
    </dev/null >"$tmp/out.txt" 2>"$tmp/err.txt" || code=$?
  end=$(date +%s%N)
  if ((code != 0)); then
    echo "$1/fwimage.exe download exited $code:" >&2
    tr -d '\r' <"$tmp/out.txt" >&2
    tr -d '\r' <"$tmp/err.txt" >&2
    exit 1
  fi
  NS=$((end - start))
}

median() { printf '%s\n' "$@" | sort -n | awk '{ t[NR] = $1 } END { printf "%.3f", t[int((NR + 1) / 2)] / 1e9 }'; }

echo "image: $image ($(stat -c %s "$image") bytes); $RUNS runs each, alternating; prefix $BENCH_PREFIX"
# One untimed run of each first: Wine's services start, the files are cached.
run "$bin_a"
run "$bin_b"
times_a=() times_b=()
for ((i = 0; i < RUNS; i++)); do
  # The order within a pair alternates too, so that neither build always
  # runs right after the other.
  if ((i % 2 == 0)); then
    run "$bin_a"; times_a+=("$NS")
    run "$bin_b"; times_b+=("$NS")
  else
    run "$bin_b"; times_b+=("$NS")
    run "$bin_a"; times_a+=("$NS")
  fi
done
med_a=$(median "${times_a[@]}")
med_b=$(median "${times_b[@]}")
fmt() { printf '%s\n' "$@" | awk '{ printf "%s%.3f", (NR > 1 ? " " : ""), $1 / 1e9 }'; }
printf 'A %s\n  runs s: %s\n  median: %s s\n' "$bin_a" "$(fmt "${times_a[@]}")" "$med_a"
printf 'B %s\n  runs s: %s\n  median: %s s\n' "$bin_b" "$(fmt "${times_b[@]}")" "$med_b"
awk -v a="$med_a" -v b="$med_b" 'BEGIN { printf "ratio B / A: %.3f, difference B - A: %.0f ms\n", b / a, (b - a) * 1000 }'
times_v=()
for ((i = 0; i < RUNS; i++)); do
  start=$(date +%s%N)
  fwl_locale wine "$bin_b/fwimage.exe" --version </dev/null >"$tmp/out.txt" 2>"$tmp/err.txt"
  times_v+=($(($(date +%s%N) - start)))
done
printf 'one start, B fwimage --version: median %s s\n' "$(median "${times_v[@]}")"
