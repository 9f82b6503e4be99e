#!/usr/bin/env bash
# Builds and runs a small consumer three ways (CMake package config, pkg-config, qmake) against
# the library installed by cmake --install into a temporary prefix, then unpacked from the Debian
# packages (check-installed.sh BUILD_DIR), or installed on this machine (--system).
set -euo pipefail
src_dir=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The consumer starts the connectivity monitor: it probes loopback only.
source "$src_dir/../../scripts/loopback-env.sh"

# consumers PREFIX: PREFIX empty means the system's own locations.
consumers() {
    local prefix=$1 out=$work/$2 libdir=""
    mkdir -p "$out"
    if [ -n "$prefix" ]; then
        libdir=$(dirname "$(find "$prefix" -name TUKCloudUtils.pc -printf '%h\n' | head -n1)")
        export PKG_CONFIG_PATH=$libdir/pkgconfig LD_LIBRARY_PATH=$libdir
    fi
    echo "== $2: find_package, pkg-config, qmake"
    cmake -S "$src_dir/project" -B "$out/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
    cmake --build "$out/cmake" >/dev/null
    "$out/cmake/consumer"
    local flags
    flags=$(pkg-config --cflags --libs TUKCloudUtils)
    # Qt 5 asks for position-independent code; its own .pc files leave -fPIC to the user too.
    # shellcheck disable=SC2086
    g++ -std=c++17 -fPIC "$src_dir/project/main.cpp" -o "$out/consumer-pc" $flags
    "$out/consumer-pc"
    mkdir -p "$out/qmake"
    (cd "$out/qmake" && QT_SELECT=qt5 qmake "$src_dir/project/consumer.pro" >/dev/null &&
        make -s -j2 >/dev/null)
    "$out/qmake/consumer"
    unset PKG_CONFIG_PATH LD_LIBRARY_PATH
}

if [ "${1:-}" = --system ]; then
    # A release library probes public endpoints unless it honours TUK_NETCHECK_ENDPOINTS.
    lib=$(pkg-config --variable=libdir TUKCloudUtils)/libTUKCloudUtils.so.1
    if ! grep -q TUK_NETCHECK_ENDPOINTS "$lib"; then
        echo "$lib ignores TUK_NETCHECK_ENDPOINTS: not run" >&2
        exit 1
    fi
    consumers "" system
    exit 0
fi
build_dir=${1:?usage: check-installed.sh BUILD_DIR | --system}

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
consumers "$work/prefix" prefix

cpack --config "$build_dir/CPackConfig.cmake" -G DEB -B "$work/deb" >/dev/null
for deb in "$work"/deb/*.deb; do
    dpkg-deb -f "$deb" Package Depends
    dpkg -x "$deb" "$work/root"
done
dpkg-deb -f "$work"/deb/libtukcloudutils1_*.deb Depends | grep -q libqt5network5
consumers "$work/root/usr" packages
