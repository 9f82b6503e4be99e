#!/usr/bin/env bash
# Installs everything the build, the examples and the tests need on Debian 12.
# Safe to run again: packages already present are skipped.
set -euo pipefail

PKGS=(
  build-essential cmake ninja-build pkg-config clang-format
  qtbase5-dev libqt5network5 libqt5dbus5
  python3-httpbin nginx-light openssl curl dbus-daemon
  iproute2 util-linux
  dpkg-dev file lintian doxygen
  g++-mingw-w64-x86-64-posix clang lld wine wine64
)

missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
