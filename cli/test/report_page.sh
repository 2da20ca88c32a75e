#!/usr/bin/env bash
# fwimage report's page in a real browser: the report of the two logs of
# tests/data/report written with --html, rendered offline by Debian's
# headless Chromium to a PNG, which must have the page's size (the window's)
# and not be blank: the tables' text and both charts' colours are on it.
#   report_page.sh FWIMAGE DATA_DIR WORK [PNG]
set -euo pipefail
fwimage=$1 data=$2 work=$3
shot=${4:-$work/report.png}
width=1200 height=1050
rm -rf "$work"
mkdir -p "$work/profile"
failed() { echo "report page: $*" >&2; exit 1; }

"$fwimage" report --html "$work/report.html" "$data/old.tsv" "$data/new.tsv" >"$work/out.txt" 2>"$work/err.txt" ||
  failed "fwimage report ended with $?: $(cat "$work/err.txt")"

# A fresh profile, nothing to fetch and nothing to update: the network is closed.
args=(--headless --disable-gpu --no-first-run --disable-background-networking --disable-component-update
      --disable-sync --hide-scrollbars "--user-data-dir=$work/profile" "--window-size=$width,$height"
      "--screenshot=$shot")
[ "$(id -u)" -ne 0 ] || args+=(--no-sandbox)
timeout 120 chromium "${args[@]}" "file://$work/report.html" >"$work/chromium.log" 2>&1 ||
  failed "chromium ended with $?: $(tail -5 "$work/chromium.log")"
[ -s "$shot" ] || failed "chromium wrote no picture: $(tail -5 "$work/chromium.log")"

size=$(identify -format '%w %h' "$shot")
[ "$size" = "$width $height" ] || failed "the picture is $size, the page $width $height"
# Pixels of one exact colour.
count() { convert "$shot" -alpha off -fill black +opaque "$1" -fill white -opaque "$1" -format '%[fx:round(mean*w*h)]' info:; }
dark=$(convert "$shot" -alpha off -colorspace gray -threshold 40% -negate -format '%[fx:round(mean*w*h)]' info:)
first_pass=$(count '#1565c0')
final=$(count '#2e7d32')
# A failure's colour, as the page's own legend gives it.
warm=$(grep -o 'background:#[0-9a-f]*"></i>loader-refused' "$work/report.html" | head -1 | cut -c12-18)
refused=$(count "$warm")
echo "report page: $size, dark pixels $dark, first-pass bars $first_pass, done/final $final, loader-refused $refused"
((dark > 5000)) || failed "hardly any text: $dark dark pixels"
((first_pass > 2000 && final > 2000 && refused > 100)) || failed "the charts are not drawn"
