#!/usr/bin/env bash
# Builds the Windows program and starts it under Wine with the simulated
# DFU.dll beside it. Saves a picture of the screen once the window is up to
# build/screenshot.png. With no $DISPLAY it runs on a virtual screen and ends
# the program after the picture; otherwise the program runs until closed.
#   FWL_WINEPREFIX  prefix to use (default: build/run-wineprefix)
#   FWL_LOCALE      Wine's locale instead of ru_RU.UTF-8 (C.UTF-8: an English
#                   system, ANSI code page 1252); give it a prefix of its own
#   FWL_SHOT        where the picture goes (default: build/screenshot.png)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
cd "$root"

"$here/deps.sh"
cmake --preset windows
cmake --build --preset windows

bin=$root/build/windows/bin
[ -f "$bin/loader.exe" ] && [ -f "$bin/DFU.dll" ] || { echo "run.sh: build/windows/bin lacks loader.exe or DFU.dll" >&2; exit 1; }

. "$here/wine-env.sh"
if [ -n "${FWL_LOCALE:-}" ]; then
  fwl_locale_env=(LANG="$FWL_LOCALE" LC_ALL="$FWL_LOCALE")
fi
fwl_wine "${FWL_WINEPREFIX:-$root/build/run-wineprefix}"

wine_pid=""
cleanup() {
  [ -n "$wine_pid" ] && kill "$wine_pid" 2>/dev/null || true
  [ -z "$fwl_xvfb_pid" ] || fwl_stop
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
  fwl_display
  echo "Running on the virtual display $DISPLAY"
fi

(cd "$bin" && exec env "${fwl_locale_env[@]}" wine loader.exe) &
wine_pid=$!

# The window is up when the X server lists it with its full size; it is
# painted when two grabs in a row are the same.
window_listed() {
  if command -v xwininfo >/dev/null; then
    xwininfo -root -tree 2>/dev/null | grep -E '\("loader.exe" "loader.exe"\) +[0-9]{3,}x[0-9]{3,}' >/dev/null
  else
    # The middle of the desktop lies inside the centred window's white area.
    [ "$(import -window root -format '%[pixel:p{512,384}]' info: 2>/dev/null)" = "srgb(255,255,255)" ]
  fi
}
shot=${FWL_SHOT:-$root/build/screenshot.png}
tmp=$(mktemp -d)
deadline=$((SECONDS + 60))
until window_listed; do
  kill -0 "$wine_pid" 2>/dev/null || { echo "run.sh: the program ended before its window appeared" >&2; exit 1; }
  [ $SECONDS -lt $deadline ] || { echo "run.sh: no window after 60 s" >&2; exit 1; }
  sleep 0.2
done
import -window root "$tmp/a.png"
while :; do
  sleep 0.3
  import -window root "$tmp/b.png"
  compare -metric AE "$tmp/a.png" "$tmp/b.png" null: 2>/dev/null && break
  mv "$tmp/b.png" "$tmp/a.png"
  [ $SECONDS -lt $deadline ] || break
done
mv "$tmp/a.png" "$shot"
rm -rf "$tmp"
echo "Screenshot: $shot"

if [ -n "$fwl_xvfb_pid" ]; then
  exit 0
fi
set +e
wait "$wine_pid"
rc=$?
wine_pid=""
echo "loader.exe ended with exit code $rc"
exit $rc
