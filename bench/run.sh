#!/usr/bin/env bash
# Converter benchmark: fwimage convert against a plain C reference converter
# (bench/refconv.c), objcopy, srec_cat and Python's intelhex on the same
# generated Intel HEX files, and the shipped fwimage.exe under Wine on the
# dense ones, in one run; checks that all give the same bytes, then prints
# median times, ratios and peak memory. Also times fwimage info on a 64 MiB .bin,
# info --digest against info plus sha256sum on it, and fwimage check against
# fwimage info on the 64 MiB dense HEX file, and on files whose records
# are rewritten (80 000 records at one address, a 16 MiB image written 100
# times), and on the shapes that once ran check's time and memory up
# (distinct and staggered overlaps, random records within 64 KiB, millions
# of wrong checksums), with check's peak memory, in both builds; and check
# against intelhex on DIFF_FILES generated files (default 4000).
#
#   bench/run.sh [BUILD_DIR]
#
# Without BUILD_DIR, fwimage is built with the "release" preset (build/release);
# a BUILD_DIR that has no cache yet is configured as an optimised build.
# fwimage.exe comes from the "windows" preset (build/windows) and runs in its
# own prefix, build/bench-wineprefix, with the wineserver kept running so that
# Wine's start-up is not timed. Environment: RUNS (fwimage, refconv, objcopy,
# fwimage.exe; default 5), SLOW_RUNS (srec_cat; default 3), IH_RUNS (intelhex,
# which takes minutes and gigabytes on the large files; default 1, 0 leaves it
# out), WINE_RUNS (fwimage.exe; default RUNS, 0 leaves it out), KEEP=1 keeps
# the generated files.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
# Decimal points in every figure, whatever the user's locale; Wine runs in it too.
export LC_ALL=C
RUNS=${RUNS:-5}
SLOW_RUNS=${SLOW_RUNS:-3}
IH_RUNS=${IH_RUNS:-1}
WINE_RUNS=${WINE_RUNS:-$RUNS}
PY=/usr/bin/python3

if [ $# -gt 1 ] || [ "${1:-}" = "-h" ] || [ "${1:-}" = "--help" ]; then
  sed -n '2,25p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
fi

for tool in objcopy srec_cat /usr/bin/time "$PY" cc; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (see scripts/deps.sh)" >&2; exit 1; }
done
"$PY" -c 'import intelhex' 2>/dev/null || { echo "missing: python3-intelhex" >&2; exit 1; }
if ((WINE_RUNS > 0)); then
  for tool in wine wineserver i686-w64-mingw32-g++-posix; do
    command -v "$tool" >/dev/null || { echo "missing: $tool (see scripts/deps.sh; WINE_RUNS=0 leaves Wine out)" >&2; exit 1; }
  done
fi

# Build.
if [ $# -eq 0 ]; then
  build=$repo/build/release
  (cd "$repo" && cmake --preset release >/dev/null)
else
  build=$(realpath -m "$1")
  [ -f "$build/CMakeCache.txt" ] ||
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFWL_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target fwimage --parallel 2 >/dev/null
fw=$build/cli/fwimage
[ -x "$fw" ] || { echo "no fwimage in $build/cli" >&2; exit 1; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/fwimage-bench.XXXXXX")
wine_prefix=""
cleanup() {
  [ -n "$wine_prefix" ] && fwl_stop
  [ "${KEEP:-0}" = 1 ] || rm -rf "$tmp"
}
trap cleanup EXIT
[ "${KEEP:-0}" = 1 ] && echo "files kept in $tmp"

# The reference: the same machine's C compiler, SSE2 and huge pages.
ref=$tmp/refconv
cc -O2 -msse2 -o "$ref" "$repo/bench/refconv.c"

# The shipped program, under Wine.
if ((WINE_RUNS > 0)); then
  (cd "$repo" && cmake --preset windows >/dev/null && cmake --build --preset windows --target fwimage --parallel 2 >/dev/null)
  fwexe=$repo/build/windows/bin/fwimage.exe
  [ -f "$fwexe" ] || { echo "no fwimage.exe in build/windows/bin" >&2; exit 1; }
  # shellcheck source=../scripts/wine-env.sh
  . "$repo/scripts/wine-env.sh"
  prefix=$repo/build/bench-wineprefix
  fwl_wine "$prefix" || { echo "could not make the Wine prefix $prefix" >&2; exit 1; }
  wine_prefix=$prefix
  # Kept running for the whole benchmark; a first call starts Wine's services.
  wineserver -p 2>/dev/null || true  # one may be running already: that serves as well
  fwl_locale wine "$fwexe" --version >"$tmp/wine-version.txt" 2>&1 </dev/null
fi

# Files: name, kind and arguments for genhex.py, lowest address.
files=(
  "dense16M-r16|dense $((16 << 20)) 16 0x08000000|0x08000000"
  "dense16M-r32|dense $((16 << 20)) 32 0x08000000|0x08000000"
  "dense64M-r16|dense $((64 << 20)) 16 0x08000000|0x08000000"
  "dense64M-r32|dense $((64 << 20)) 32 0x08000000|0x08000000"
  "sparse|sparse|0x0"
)
echo "generating files in $tmp"
for entry in "${files[@]}"; do
  IFS='|' read -r name spec _ <<<"$entry"
  read -r kind args <<<"$spec"
  # shellcheck disable=SC2086
  "$PY" "$repo/bench/genhex.py" "$kind" "$tmp/$name.hex" "$tmp/$name.expected" $args
done
sync

now_ns() { date +%s%N; }

# measure RUNS OUT CMD...: runs CMD RUNS times (OUT removed before each run);
# sets MEDIAN (seconds) and PEAK (KiB, highest of the runs).
measure() {
  local runs=$1 out=$2
  shift 2
  local times=() peak=0 start end rss rc
  for ((i = 0; i < runs; i++)); do
    rm -f "$out"
    # Written-back pages of earlier runs must not land on this one.
    sync
    start=$(now_ns)
    rc=0
    /usr/bin/time -v -o "$tmp/time.txt" "$@" >/dev/null || rc=$?
    end=$(now_ns)
    # 7: fwimage check's warnings, which the rewritten files are made to have.
    ((rc == 0 || rc == 7)) || { echo "exit code $rc: $*" >&2; exit 1; }
    times+=($((end - start)))
    rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$tmp/time.txt")
    ((rss > peak)) && peak=$rss
  done
  MEDIAN=$(printf '%s\n' "${times[@]}" | sort -n | awk '{ t[NR] = $1 } END { printf "%.4f", t[int((NR + 1) / 2)] / 1e9 }')
  PEAK=$peak
}

mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

status=0
declare -A fwtime objtime fwpeak reftime exetime
printf '\n%-14s %-9s %5s %10s %9s %13s %11s  %s\n' file tool runs "median s" "vs fwimage" "peak RSS MiB" "image MiB" bytes
for entry in "${files[@]}"; do
  IFS='|' read -r name _ low <<<"$entry"
  in=$tmp/$name.hex
  expected=$tmp/$name.expected
  image_kib=$(($(stat -c %s "$expected") / 1024))
  tools=(fwimage refconv)
  [[ $name == dense* ]] && ((WINE_RUNS > 0)) && tools+=(fwimage.exe)
  tools+=(objcopy srec_cat)
  ((IH_RUNS > 0)) && tools+=(intelhex)
  for tool in "${tools[@]}"; do
    out=$tmp/$name.$tool.bin
    case $tool in
      fwimage) measure "$RUNS" "$out" "$fw" convert "$in" "$out" ;;
      refconv) measure "$RUNS" "$out" "$ref" "$in" "$out" ;;
      fwimage.exe) measure "$WINE_RUNS" "$out" env "${fwl_locale_env[@]}" wine "$fwexe" convert "Z:$in" "Z:$out" ;;
      objcopy) measure "$RUNS" "$out" objcopy -I ihex -O binary --gap-fill 0xff "$in" "$out" ;;
      srec_cat) measure "$SLOW_RUNS" "$out" srec_cat '(' "$in" -Intel -fill 0xFF -over "$in" -Intel ')' \
                  -offset "-$low" -o "$out" -Binary ;;
      intelhex) measure "$IH_RUNS" "$out" "$PY" -c \
                  'import sys; from intelhex import IntelHex; h = IntelHex(sys.argv[1]); h.padding = 0xFF; h.tobinfile(sys.argv[2])' \
                  "$in" "$out" ;;
    esac
    runs=$RUNS
    [ "$tool" = srec_cat ] && runs=$SLOW_RUNS
    [ "$tool" = intelhex ] && runs=$IH_RUNS
    [ "$tool" = fwimage.exe ] && runs=$WINE_RUNS
    if cmp -s "$out" "$expected"; then same=identical; else same=DIFFERENT; status=1; fi
    rm -f "$out"
    if [ "$tool" = fwimage ]; then
      fwtime[$name]=$MEDIAN
      fwpeak[$name]=$PEAK
    fi
    [ "$tool" = objcopy ] && objtime[$name]=$MEDIAN
    [ "$tool" = refconv ] && reftime[$name]=$MEDIAN
    [ "$tool" = fwimage.exe ] && exetime[$name]=$MEDIAN
    ratio=$(awk -v t="$MEDIAN" -v f="${fwtime[$name]}" 'BEGIN { printf "%.2fx", t / f }')
    printf '%-14s %-9s %5s %10s %9s %13s %11s  %s\n' "$name" "$tool" "$runs" "$MEDIAN" "$ratio" \
      "$(mib "$PEAK")" "$(mib "$image_kib")" "$same"
  done
done

# fwimage info: load and sum a 64 MiB .bin.
bin=$tmp/image64M.bin
cp "$tmp/dense64M-r16.expected" "$bin"
measure "$RUNS" "$tmp/none" "$fw" info "$bin"
info_rate=$(awk -v t="$MEDIAN" -v n="$(stat -c %s "$bin")" 'BEGIN { printf "%.2f", n / t / 1e9 }')
info_time=$MEDIAN
printf '\nfwimage info, 64 MiB .bin: median %s s over %s runs, %s GB/s, peak RSS %s MiB\n' \
  "$MEDIAN" "$RUNS" "$info_rate" "$(mib "$PEAK")"

# fwimage info --digest against info plus sha256sum on the same .bin; the
# digest must be sha256sum's.
measure "$RUNS" "$tmp/none" "$fw" info --digest "$bin"
digest_time=$MEDIAN
measure "$RUNS" "$tmp/none" sha256sum "$bin"
sha_time=$MEDIAN
printf 'fwimage info --digest, 64 MiB .bin: median %s s; sha256sum: median %s s\n' "$digest_time" "$sha_time"
if [ "$("$fw" info --digest "$bin" | sed -n 's/^SHA-256: //p')" != "$(sha256sum "$bin" | cut -d' ' -f1)" ]; then
  echo "fwimage info --digest differs from sha256sum" >&2
  status=1
fi

# fwimage check against fwimage info on the same 64 MiB dense HEX file: one
# read without the image against two passes that build it.
hex64=$tmp/dense64M-r16.hex
measure "$RUNS" "$tmp/none" "$fw" info "$hex64"
hexinfo=$MEDIAN
measure "$RUNS" "$tmp/none" "$fw" check "$hex64"
hexcheck=$MEDIAN
hexcheck_peak=$PEAK
check_ratio=$(awk -v c="$hexcheck" -v i="$hexinfo" 'BEGIN { printf "%.2f", c / i }')
printf 'fwimage info / check, 64 MiB dense HEX: median %s s / %s s over %s runs, check peak RSS %s MiB\n' \
  "$hexinfo" "$hexcheck" "$RUNS" "$(mib "$hexcheck_peak")"
if ((WINE_RUNS > 0)); then
  measure "$WINE_RUNS" "$tmp/none" env "${fwl_locale_env[@]}" wine "$fwexe" info "Z:$hex64"
  exeinfo=$MEDIAN
  measure "$WINE_RUNS" "$tmp/none" env "${fwl_locale_env[@]}" wine "$fwexe" check "Z:$hex64"
  execheck=$MEDIAN
  exe_check_ratio=$(awk -v c="$execheck" -v i="$exeinfo" 'BEGIN { printf "%.2f", c / i }')
  printf 'fwimage.exe info / check under Wine, 64 MiB dense HEX: median %s s / %s s over %s runs\n' \
    "$exeinfo" "$execheck" "$WINE_RUNS"
fi

# fwimage check where records are rewritten: 80 000 records of 16 bytes at
# one address, and the 16 MiB image written 100 times (about 4 GB of HEX,
# made here and removed after). check must stay within 1.5 times info and,
# on the large file, within 64 MiB; the 32-bit figure is fwimage.exe's under
# Wine (the Wine process's peak, Wine's own share included).
"$PY" - "$tmp/rewrite80k.hex" <<'PYEOF'
import random, sys
rng = random.Random(20240501)
with open(sys.argv[1], "w", newline="") as out:
    for _ in range(80000):
        b = [16, 0, 0, 0] + list(rng.randbytes(16))
        out.write(":%s%02X\r\n" % ("".join("%02X" % x for x in b), -sum(b) & 0xFF))
    out.write(":00000001FF\r\n")
PYEOF
hex100=$tmp/dense16M-x100.hex
head -n -1 "$tmp/dense16M-r32.hex" >"$tmp/one-copy.hex"
for ((i = 0; i < 100; i++)); do cat "$tmp/one-copy.hex"; done >"$hex100"
echo ":00000001FF" >>"$hex100"
rm -f "$tmp/one-copy.hex"
sync
declare -A rw_ratio rw_peak
for name in rewrite80k dense16M-x100; do
  measure "$RUNS" "$tmp/none" "$fw" info "$tmp/$name.hex"
  rwinfo=$MEDIAN
  measure "$RUNS" "$tmp/none" "$fw" check "$tmp/$name.hex"
  rw_ratio[$name]=$(awk -v c="$MEDIAN" -v i="$rwinfo" 'BEGIN { printf "%.2f", c / i }')
  rw_peak[$name]=$(mib "$PEAK")
  printf 'fwimage info / check, %s: median %s s / %s s over %s runs, check peak RSS %s MiB\n' \
    "$name" "$rwinfo" "$MEDIAN" "$RUNS" "${rw_peak[$name]}"
done
if ((WINE_RUNS > 0)); then
  measure 1 "$tmp/none" env "${fwl_locale_env[@]}" wine "$fwexe" check "Z:$hex100"
  exe_rw_peak=$(mib "$PEAK")
  printf 'fwimage.exe check under Wine, dense16M-x100: %s s, peak RSS %s MiB (Wine included)\n' "$MEDIAN" "$exe_rw_peak"
fi
[ "${KEEP:-0}" = 1 ] || rm -f "$hex100"

# fwimage check against fwimage info on the shapes that once ran check's time
# and memory up: 800 000 distinct overlapping pairs, 1.6 million records each
# overlapping the last, 1.6 million records at random addresses within 64 KiB
# and 6 million wrong checksums. check must stay within 1.5 times info and
# its peak within the image's size plus 64 MiB, in both builds.
shapes=("pairs 800000" "staggered 1600000" "random64k 1600000" "badsums 6000000")
declare -A shape_ratio shape_peak shape_limit exe_shape_ratio exe_shape_peak
for spec in "${shapes[@]}"; do
  read -r name count <<<"$spec"
  "$PY" "$repo/bench/genhex.py" "$name" "$tmp/$name.hex" "$tmp/$name.expected" "$count"
  shape_limit[$name]=$(awk -v b="$(stat -c %s "$tmp/$name.expected")" 'BEGIN { printf "%.1f", b / 1048576 + 64 }')
  measure "$RUNS" "$tmp/none" "$fw" info "$tmp/$name.hex"
  shinfo=$MEDIAN
  measure "$RUNS" "$tmp/none" "$fw" check "$tmp/$name.hex"
  shape_ratio[$name]=$(awk -v c="$MEDIAN" -v i="$shinfo" 'BEGIN { printf "%.2f", c / i }')
  shape_peak[$name]=$(mib "$PEAK")
  printf 'fwimage info / check, %s: median %s s / %s s over %s runs, check peak RSS %s MiB\n' \
    "$name" "$shinfo" "$MEDIAN" "$RUNS" "${shape_peak[$name]}"
  if ((WINE_RUNS > 0)); then
    measure "$WINE_RUNS" "$tmp/none" env "${fwl_locale_env[@]}" wine "$fwexe" info "Z:$tmp/$name.hex"
    shinfo=$MEDIAN
    measure "$WINE_RUNS" "$tmp/none" env "${fwl_locale_env[@]}" wine "$fwexe" check "Z:$tmp/$name.hex"
    exe_shape_ratio[$name]=$(awk -v c="$MEDIAN" -v i="$shinfo" 'BEGIN { printf "%.2f", c / i }')
    exe_shape_peak[$name]=$(mib "$PEAK")
    printf 'fwimage.exe info / check under Wine, %s: median %s s / %s s over %s runs, check peak RSS %s MiB (Wine included)\n' \
      "$name" "$shinfo" "$MEDIAN" "$WINE_RUNS" "${exe_shape_peak[$name]}"
  fi
  [ "${KEEP:-0}" = 1 ] || rm -f "$tmp/$name.hex" "$tmp/$name.expected"
done

# The gate against intelhex on more generated files than the test command
# runs: check passes none whose image in the loader differs from intelhex's.
"$PY" "$repo/cli/test/check_planted.py" "$fw" "$tmp/differential" --files "${DIFF_FILES:-4000}" --seed 1 ||
  { echo "fwimage check passed a file the loader reads differently" >&2; status=1; }
[ "${KEEP:-0}" = 1 ] || rm -rf "$tmp/differential"

# What starting a Windows program costs under Wine even with the wineserver
# kept, measured on fwimage.exe --version; shown beside the ratios, which
# include it.
if ((WINE_RUNS > 0)); then
  measure "$WINE_RUNS" "$tmp/none" env "${fwl_locale_env[@]}" wine "$fwexe" --version
  wine_start=$MEDIAN
  printf 'fwimage.exe --version under Wine (process start-up): median %s s over %s runs\n' "$wine_start" "$WINE_RUNS"
fi

# Targets.
echo
verdict() { if awk "BEGIN { exit !($1) }"; then echo "met"; else echo "NOT met"; fi; }
for name in dense16M-r16 dense16M-r32 dense64M-r16 dense64M-r32; do
  r=$(awk -v o="${objtime[$name]}" -v f="${fwtime[$name]}" 'BEGIN { printf "%.2f", o / f }')
  printf 'target %-13s objcopy / fwimage = %5sx  (>= 4)      %s\n' "$name" "$r" "$(verdict "$r >= 4")"
done
r=$(awk -v o="${objtime[sparse]}" -v f="${fwtime[sparse]}" 'BEGIN { printf "%.2f", f / o }')
printf 'target %-13s fwimage / objcopy = %5sx  (<= 1.5)    %s\n' sparse "$r" "$(verdict "$r <= 1.5")"
for entry in "${files[@]}"; do
  IFS='|' read -r name _ _ <<<"$entry"
  image_kib=$(($(stat -c %s "$tmp/$name.expected") / 1024))
  over=$(awk -v p="${fwpeak[$name]}" -v i="$image_kib" 'BEGIN { printf "%.1f", (p - i) / 1024 }')
  printf 'target %-13s peak RSS - image = %5s MiB (<= 8)      %s\n' "$name" "$over" "$(verdict "$over <= 8")"
done
printf 'target %-13s %25s GB/s (>= 1)   %s\n' info "$info_rate" "$(verdict "$info_rate >= 1")"
r=$(awk -v d="$digest_time" -v i="$info_time" -v s="$sha_time" 'BEGIN { printf "%.4f", d - i }')
printf 'target %-13s info --digest - info = %ss (<= sha256sum %ss)  %s\n' digest "$r" "$sha_time" \
  "$(verdict "$r <= $sha_time")"
printf 'target %-13s check / info    = %5sx  (<= 1.5)    %s\n' dense64M-r16 "$check_ratio" "$(verdict "$check_ratio <= 1.5")"
((WINE_RUNS > 0)) &&
  printf 'target %-13s check / info    = %5sx  (<= 1.5)    %s   (fwimage.exe under Wine)\n' dense64M-r16 \
    "$exe_check_ratio" "$(verdict "$exe_check_ratio <= 1.5")"
for name in rewrite80k dense16M-x100; do
  printf 'target %-13s check / info    = %5sx  (<= 1.5)    %s\n' "$name" "${rw_ratio[$name]}" \
    "$(verdict "${rw_ratio[$name]} <= 1.5")"
done
printf 'target %-13s check peak RSS  = %5s MiB (< 64)    %s\n' dense16M-x100 "${rw_peak[dense16M-x100]}" \
  "$(verdict "${rw_peak[dense16M-x100]} < 64")"
((WINE_RUNS > 0)) &&
  printf 'target %-13s check peak RSS  = %5s MiB (< 64)    %s   (fwimage.exe under Wine, Wine included)\n' \
    dense16M-x100 "$exe_rw_peak" "$(verdict "$exe_rw_peak < 64")"
for spec in "${shapes[@]}"; do
  read -r name _ <<<"$spec"
  printf 'target %-13s check / info    = %5sx  (<= 1.5)    %s\n' "$name" "${shape_ratio[$name]}" \
    "$(verdict "${shape_ratio[$name]} <= 1.5")"
  printf 'target %-13s check peak RSS  = %5s MiB (<= %s)  %s\n' "$name" "${shape_peak[$name]}" \
    "${shape_limit[$name]}" "$(verdict "${shape_peak[$name]} <= ${shape_limit[$name]}")"
  if ((WINE_RUNS > 0)); then
    printf 'target %-13s check / info    = %5sx  (<= 1.5)    %s   (fwimage.exe under Wine)\n' "$name" \
      "${exe_shape_ratio[$name]}" "$(verdict "${exe_shape_ratio[$name]} <= 1.5")"
    printf 'target %-13s check peak RSS  = %5s MiB (<= %s)  %s   (fwimage.exe under Wine, Wine included)\n' \
      "$name" "${exe_shape_peak[$name]}" "${shape_limit[$name]}" \
      "$(verdict "${exe_shape_peak[$name]} <= ${shape_limit[$name]}")"
  fi
done
r=$(awk -v f="${fwtime[dense64M-r16]}" -v c="${reftime[dense64M-r16]}" 'BEGIN { printf "%.2f", f / c }')
printf 'target %-13s fwimage / refconv = %5sx  (<= 1.2)    %s\n' dense64M-r16 "$r" "$(verdict "$r <= 1.2")"
if ((WINE_RUNS > 0)); then
  for name in dense16M-r16 dense16M-r32 dense64M-r16 dense64M-r32; do
    r=$(awk -v e="${exetime[$name]}" -v f="${fwtime[$name]}" 'BEGIN { printf "%.2f", e / f }')
    o=$(awk -v e="${exetime[$name]}" -v o="${objtime[$name]}" 'BEGIN { printf "%.2f", e / o }')
    n=$(awk -v e="${exetime[$name]}" -v s="$wine_start" -v f="${fwtime[$name]}" 'BEGIN { printf "%.2f", (e - s) / f }')
    printf 'target %-13s fwimage.exe / fwimage = %5sx (<= 1.3)  %s   (without start-up %sx; fwimage.exe / objcopy = %sx)\n' \
      "$name" "$r" "$(verdict "$r <= 1.3")" "$n" "$o"
  done
  printf 'fwimage.exe under Wine: %s\n' "$(tr -d '\r' <"$tmp/wine-version.txt")"
fi

((status == 0)) || echo "some tool gave different bytes" >&2
exit $status
