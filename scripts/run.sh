#!/usr/bin/env bash
# Builds the Windows program and starts it under Wine with the simulated
# DFU.dll beside it. Saves a picture of the screen once the window is up to
# build/screenshot.png. With no $DISPLAY it runs on a virtual screen and ends
# the program after the picture; otherwise the program runs until closed.
#   FWL_WINEPREFIX  prefix to use (default: build/run-wineprefix)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
cd "$root"

"$here/deps.sh"
cmake --preset windows
cmake --build --preset windows

bin=$root/build/windows/bin
[ -f "$bin/loader.exe" ] && [ -f "$bin/DFU.dll" ] || { echo "run.sh: build/windows/bin lacks loader.exe or DFU.dll" >&2; exit 1; }

prefix=$(realpath -m "${FWL_WINEPREFIX:-$root/build/run-wineprefix}")
"$here/wine-prefix.sh" "$prefix"
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=" LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8

xvfb_pid=""
wine_pid=""
cleanup() {
  [ -n "$wine_pid" ] && kill "$wine_pid" 2>/dev/null || true
  if [ -n "$xvfb_pid" ]; then
    wineserver -k 2>/dev/null || true
    kill "$xvfb_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
  # A free display number, chosen by the server itself.
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  xvfb_pid=$!
  read -r -t 20 number <"$fifo" || { echo "run.sh: Xvfb did not start" >&2; exit 1; }
  rm -f "$fifo"
  export DISPLAY=:$number
  echo "Running on the virtual display $DISPLAY"
fi

(cd "$bin" && exec wine loader.exe) &
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
shot=$root/build/screenshot.png
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

if [ -n "$xvfb_pid" ]; then
  exit 0
fi
set +e
wait "$wine_pid"
rc=$?
wine_pid=""
echo "loader.exe ended with exit code $rc"
exit $rc
