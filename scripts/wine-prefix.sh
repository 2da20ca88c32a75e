#!/usr/bin/env bash
# Makes a 32-bit Wine prefix that behaves for tests: Wine's own fonts, a
# virtual desktop (no window-manager waits), no crash dialog. Usage:
#   scripts/wine-prefix.sh PREFIX
# Does nothing when PREFIX is already complete.
set -euo pipefail
prefix=$(realpath -m "$1")
[ -f "$prefix/.fwl-ready" ] && exit 0

rm -rf "$prefix"
mkdir -p "$(dirname "$prefix")"
export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8
wineboot -i >/dev/null 2>&1
mkdir -p "$prefix/drive_c/windows/Fonts"
cp /usr/share/wine/fonts/* "$prefix/drive_c/windows/Fonts/"
reg=$(mktemp --suffix=.reg)
cat > "$reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]
"Default"="1024x768"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
REG
wine regedit "$reg" >/dev/null 2>&1
rm -f "$reg"
wineserver -w
touch "$prefix/.fwl-ready"
