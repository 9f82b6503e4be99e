#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds from scratch and runs the whole test suite: the CTest suite
# (the Windows platform layer under wine among it; also under AddressSanitizer,
# UndefinedBehaviorSanitizer and, for the thread stress, ThreadSanitizer), the connectivity
# monitor's start-up/exit soak, and the Debian packages installed for real with consumers built
# against them. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/loopback-env.sh
bash scripts/setup-deps.sh
export BUILD_DIR=${BUILD_DIR:-build}
bash scripts/build.sh
ctest --test-dir "$BUILD_DIR" --output-on-failure --parallel 2 --timeout 600
bash scripts/test-sanitize.sh
bash scripts/soak-netcheck.sh "$BUILD_DIR" "${SOAK_RUNS:-20}"
bash scripts/package.sh --install
