#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds and runs a consumer against it twice:
# once through CMake's package config, once through pkg-config.
set -euo pipefail
build_dir=$1
src_dir=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null

echo "== find_package(TUKCloudUtils CONFIG)"
cmake -S "$src_dir/project" -B "$work/cbuild" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cbuild" >/dev/null
"$work/cbuild/consumer"

echo "== pkg-config"
libdir=$(find "$work/prefix" -name TUKCloudUtils.pc -printf '%h\n' | head -n1)
export PKG_CONFIG_PATH="$libdir"
flags=$(pkg-config --cflags --libs TUKCloudUtils)
echo "pkg-config --cflags --libs TUKCloudUtils: $flags"
# shellcheck disable=SC2086
g++ -std=c++17 "$src_dir/project/main.cpp" -o "$work/consumer-pc" $flags
LD_LIBRARY_PATH="$(dirname "$libdir")" "$work/consumer-pc"
