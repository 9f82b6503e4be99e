#!/usr/bin/env bash
# Builds the Debian packages libtukcloudutils1 and libtukcloudutils-dev into OUT_DIR (default:
# packages) and checks them with lintian (any error fails).
#
# usage: scripts/package.sh [--install] [OUT_DIR]
#
# --install also installs both packages on this machine with apt-get (root or sudo) and builds and
# runs the consumer check against them (CMake package, pkg-config and qmake).
# The release build uses Debian's hardening flags (dpkg-buildflags) and installs below /usr.
set -euo pipefail
cd "$(dirname "$0")/.."
install=0
if [ "${1:-}" = --install ]; then
  install=1
  shift
fi
OUT_DIR=$(realpath -m "${1:-packages}")
BUILD_DIR=${PKG_BUILD_DIR:-build-deb}

bash scripts/setup-deps.sh

CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        -DTUK_BUILD_TESTS=OFF -DTUK_BUILD_EXAMPLES=OFF -DTUK_BUILD_BENCH=OFF
cmake --build "$BUILD_DIR"
rm -rf "$OUT_DIR"
cpack --config "$BUILD_DIR/CPackConfig.cmake" -G DEB -B "$OUT_DIR"
rm -rf "$OUT_DIR/_CPack_Packages"
ls -l "$OUT_DIR"/*.deb

echo "== lintian"
lintian --fail-on error --tag-display-limit 0 "$OUT_DIR"/*.deb

if [ $install -eq 1 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends \
    "$OUT_DIR"/libtukcloudutils*.deb
  bash tests/consumer/check-installed.sh --system
fi
