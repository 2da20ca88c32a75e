#!/usr/bin/env bash
# The MSI's cycle under Wine in a prefix of its own (a copy of the test prefix),
# on package.contents' package and one made here from its files with the next
# patch version. Prints each check and each installer run's time.
#   msi-cycle.sh BUILD_DIR SOURCE_DIR VERSION
set -uo pipefail
build=$1 source=$2 version=$3 newer=${3%.*}.$((${3##*.} + 1)) work=$1/msi-test
msi=$build/package-test/firmware-loader-$version-win32.msi newerMsi=$work/firmware-loader-$newer-win32.msi
rm -rf "$work" && mkdir -p "$work" && cp -a "$build/package-test/unpacked/firmware-loader-$version-win32" "$work/stage" || exit 1
sed -i "s/${version//./\\.}/$newer/g" "$work/stage/README.txt"
cmake -DSTAGE="$work/stage" -DVERSION="$newer" -DSOURCE="$source" -DOUT="$newerMsi" \
      -P "$source/cmake/PackageMsi.cmake" >"$work/newer-msi.log" 2>&1 || { cat "$work/newer-msi.log"; exit 1; }
. "$source/scripts/wine-env.sh"
shared=${FWL_WINEPREFIX:-$source/build/wineprefix}
fwl_wine "$shared" && timeout 60 wineserver -w
cp -a "$shared" "$work/prefix" && fwl_wine "$work/prefix" && fwl_display || exit 125
trap fwl_stop EXIT
# No menu entries or file types on the host's desktop for what is installed.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winemenubuilder.exe=d"
dir="$work/prefix/drive_c/Program Files/Firmware Loader" fail=0
win() { echo "Z:${1//\//\\}"; }
check() { if [ "$2" == "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: [$2], wanted [$3]"; fail=1; fi; }
msiexec() {  # prints the exit code's low byte, as Wine gives it (1603 reads 67)
    local start=$SECONDS
    fwl_locale wine msiexec "$@" /qn /l*v "$(win "$work/msiexec-$SECONDS.log")" >>"$work/wine.log" 2>&1
    echo $? && echo "msiexec $1 ${2##*\\}: $((SECONDS - start)) s" >&2
}
files() { (cd "$dir" 2>/dev/null && find . -type f | sort | tr '\n' ' '); }
menu() { find "$work/prefix/drive_c" -path "*/Programs/Загрузчик для тестера/*" -printf '%f\n' | sort | tr '\n' ' '; }
values() {  # every value under HKLM\Software and HKCU\Software, as [KEY]|VALUE
    for root in HKEY_LOCAL_MACHINE HKEY_CURRENT_USER; do
        fwl_locale wine regedit /E "$(win "$work/$1-$root.reg")" "$root\\Software" >>"$work/wine.log" 2>&1
        iconv -f UTF-16 -t UTF-8 "$work/$1-$root.reg" | tr -d '\r' | awk '/^\[/ { key = $0; next } NF { print key "|" $0 }'
    done | LC_ALL=C sort >"$work/$1.values"
}
entries() {  # the installed-programs entries' versions
    values "$1" && grep -h 'Uninstall\\{' "$work/$1.values" | grep -A1 -F '"DisplayName"="Загрузчик для тестера"' |
        grep -o '"DisplayVersion"=.*' | tr '\n' ' '
}
demo="./demo/DFU.dll ./demo/README-DEMO.txt ./demo/example.hex ./demo/fwimage.exe ./demo/loader.exe"

values before
check "install" "$(msiexec /i "$(win "$msi")") $(files)" "0 ./README.txt ./fwimage.exe ./loader.exe "
check "Start menu, the log shortcut's arguments" "$(menu)$(python3 -c 'import sys; d = open(sys.argv[1], "rb").read()
print(sum(b.decode("utf-16-le", "ignore").count(sys.argv[2]) for b in (d, d[1:])))' \
    "$(find "$work/prefix/drive_c" -name 'Загрузчик для тестера с журналом.lnk')" \
    '--log "%USERPROFILE%\Documents\Журнал загрузок.tsv"')" \
    "Загрузчик для тестера с журналом.lnk Загрузчик для тестера.lnk Руководство оператора.lnk 1"
check "installed programs" "$(entries installed)" "\"DisplayVersion\"=\"$version\" "
check "registry values written" "$(LC_ALL=C comm -13 "$work/before.values" "$work/installed.values" |
    grep -v -e '\\Installer\\' -e '\\Installer]' -e 'Uninstall\\{' | tr '\n' '~')" "$(tr '\n' '~' <"$source/tests/e2e/msi-values.txt")"
check "installed fwimage --version" "$(fwl_locale wine "C:\\Program Files\\Firmware Loader\\fwimage.exe" --version \
    >"$work/version.txt" 2>&1; tr -d '\r' <"$work/version.txt")" "fwimage $version"
check "the same version again" "$(msiexec /i "$(win "$msi")") $(files)" "0 ./README.txt ./fwimage.exe ./loader.exe "
check "uninstall: nothing left" "$(msiexec /x "$(win "$msi")") $([ -e "$dir" ] && echo folder)$(menu)$(values uninstalled
    LC_ALL=C comm -3 "$work/before.values" "$work/uninstalled.values")" "0 "
check "install with the demo" "$(msiexec /i "$(win "$msi")" ADDLOCAL=ALL) $(files)" "0 ./README.txt $demo ./fwimage.exe ./loader.exe "
cp "$dir/demo/DFU.dll" "$dir/DFU.dll" && FWL_E2E_BIN='C:\Program Files\Firmware Loader' fwl_locale wine "$build/tests/e2e/e2e_window.exe" \
    --gtest_also_run_disabled_tests --gtest_filter='LoaderStart.DISABLED_InstalledDemo' >"$work/window.log" 2>&1
check "the window on the demo's DFU.dll" "$(grep -c '^\[  PASSED  \] 1 test' "$work/window.log")" 1
# The demo named again: Wine's installer does not carry features over.
check "upgrade" "$(msiexec /i "$(win "$newerMsi")" ADDLOCAL=ALL) $(files)$(entries upgraded)$(head -c 200 "$dir/README.txt" | grep -c -F "$newer")" \
      "0 ./DFU.dll ./README.txt $demo ./fwimage.exe ./loader.exe \"DisplayVersion\"=\"$newer\" 1"
check "an older package refused" "$(msiexec /i "$(win "$msi")") $(entries refused)" "67 \"DisplayVersion\"=\"$newer\" "
check "uninstall the upgraded: its DFU.dll left" "$(msiexec /x "$(win "$newerMsi")") $(files)$(menu)$(values gone
    LC_ALL=C comm -3 "$work/before.values" "$work/gone.values")" "0 ./DFU.dll "
fwl_stop; [ $fail -ne 0 ] || rm -rf "$work/prefix"
echo "msi cycle: $([ $fail -eq 0 ] && echo passed || echo FAILED)"
exit $fail
