#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need.
# Does nothing when everything is already there.
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev googletest
          g++-mingw-w64-i686 wine wine32:i386 xvfb xauth fonts-wine locales
          binutils srecord python3-intelhex time imagemagick x11-utils
          libssl-dev nlohmann-json3-dev openssl osslsigncode dosfstools fusefat
          wixl msitools procps chromium python3-jsonschema)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo dpkg --add-architecture i386
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi

# Wine runs the program under a Russian locale (the 1251 ANSI code page).
if ! locale -a 2>/dev/null | grep -qi '^ru_RU\.utf8$'; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo sed -i 's/^# *ru_RU.UTF-8 UTF-8/ru_RU.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^ru_RU.UTF-8 UTF-8' /etc/locale.gen || echo 'ru_RU.UTF-8 UTF-8' | $sudo tee -a /etc/locale.gen >/dev/null
  $sudo locale-gen >/dev/null
fi
