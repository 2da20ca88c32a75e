#!/usr/bin/env bash
# Builds the converter's fuzz target with the "fuzz" preset and runs it for a
# bounded time. Exits non-zero when the fuzzer finds a crash.
#   fuzz/run.sh [build-dir] [seconds]     (defaults: build/fuzz, 60)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build/fuzz}")
seconds=${2:-60}

cd "$root"
cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" --target hex_fuzz -j2

# New inputs go to a corpus of the build; the seeds stay as they are.
mkdir -p "$build/hex-corpus"
"$build/fuzz/hex_fuzz" \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
  -dict="$root/fuzz/hex.dict" -artifact_prefix="$build/" -print_final_stats=1 \
  "$build/hex-corpus" "$root/fuzz/corpus/hex"
