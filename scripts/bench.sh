#!/usr/bin/env bash
# Builds the library as the Debian package does (Release) with its benchmark, and runs every
# performance case side by side with curl and plain Qt code in one interleaved run: downloads,
# small requests, uploads, the connectivity monitor. Prints the tables; the JSON goes to
# BUILD_DIR/bench-results.json. Results and how to read them: docs/performance.md.
#
#   scripts/bench.sh [BUILD_DIR] [tuk_bench options, e.g. --rounds 9 or --only small,download]
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=build-bench
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  BUILD_DIR=$1
  shift
fi

bash scripts/setup-deps.sh
# The instruction counts of the small requests run under callgrind.
if ! command -v valgrind >/dev/null; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update >&2
  $SUDO apt-get install -y --no-install-recommends valgrind >&2
fi
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release >&2
cmake --build "$BUILD_DIR" --target tuk_bench bench_host >&2

# shellcheck source=scripts/loopback-env.sh
source scripts/loopback-env.sh
exec "$BUILD_DIR/bench/tuk_bench" --json "$BUILD_DIR/bench-results.json" "$@"
