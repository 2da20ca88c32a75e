# Wine and the virtual display for the scripts that run Windows programs
# (run.sh, test.sh, wine-run). Source it, then:
#   fwl_wine PREFIX  makes PREFIX a 32-bit prefix that behaves for tests (once;
#                    it is reused while complete) and exports Wine's settings
#                    for it
#   fwl_locale CMD   runs CMD (wine ...) under the prefix's locale (a program,
#                    not a shell function; the same as env "${fwl_locale_env[@]}")
#   fwl_display      without $DISPLAY: starts Xvfb on a display number the
#                    server chooses itself (no races) and exports DISPLAY
#   fwl_stop         ends the prefix's Wine processes and that Xvfb
# The functions return nonzero on failure and never exit the caller.

fwl_xvfb_pid=""

# The Russian locale gives the 1251 ANSI code page the program is made for;
# Cyrillic paths fail to open without it. Only Wine gets it: the tools that
# tests run besides (objdump) must keep printing English. Wine rewrites a
# prefix whose locale changes, so every wine command goes through this.
# fwl_locale_env is for commands that take a program to run (time, env).
fwl_locale_env=(LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8)
fwl_locale() {
    env "${fwl_locale_env[@]}" "$@"
}

fwl_wine() {
    local prefix
    prefix=$(realpath -m "$1") || return 1
    export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
    [ -f "$prefix/.fwl-ready" ] && return 0
    (
        set -e
        export WINEDEBUG=-all
        rm -rf "$prefix"
        mkdir -p "$(dirname "$prefix")"
        fwl_locale wineboot -i >/dev/null 2>&1
        # Wine's own faces: without them every font falls back to DejaVu.
        mkdir -p "$prefix/drive_c/windows/Fonts"
        cp /usr/share/wine/fonts/* "$prefix/drive_c/windows/Fonts/"
        # N: is a network drive, for the tests of what the programs do on one.
        mkdir -p "$prefix/drive_n"
        ln -s ../drive_n "$prefix/dosdevices/n:"
        # A virtual desktop spares the wait for a window manager at every
        # top-level window; no crash dialog, so a crash cannot hang a test.
        reg=$(mktemp --suffix=.reg)
        cat >"$reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]
"Default"="1024x768"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000

[HKEY_LOCAL_MACHINE\Software\Wine\Drives]
"n:"="network"
REG
        fwl_locale wine regedit "$reg" >/dev/null 2>&1
        rm -f "$reg"
        wineserver -w
        touch "$prefix/.fwl-ready"
    )
}

fwl_display() {
    [ -n "${DISPLAY:-}" ] && return 0
    local fifo number
    fifo=$(mktemp -u) && mkfifo "$fifo" || return 1
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    fwl_xvfb_pid=$!
    # Xvfb writes the number once it listens; EOF when it could not start.
    read -r -t 20 number <"$fifo" || number=""
    rm -f "$fifo"
    if [ -z "$number" ]; then
        echo "Xvfb did not start" >&2
        fwl_stop
        return 1
    fi
    export DISPLAY=:$number
}

# Safe in an EXIT trap under set -e: nothing here changes the exit status.
fwl_stop() {
    if [ -n "${WINEPREFIX:-}" ]; then
        wineserver -k >/dev/null 2>&1 || true
        wineserver -w >/dev/null 2>&1 || true
    fi
    if [ -n "$fwl_xvfb_pid" ]; then
        kill "$fwl_xvfb_pid" 2>/dev/null || true
        wait "$fwl_xvfb_pid" 2>/dev/null || true
        fwl_xvfb_pid=""
        unset DISPLAY
    fi
}
