#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds from scratch and runs the whole test suite.
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/loopback-env.sh
bash scripts/setup-deps.sh
export BUILD_DIR=${BUILD_DIR:-build}
bash scripts/build.sh
ctest --test-dir "$BUILD_DIR" --output-on-failure --parallel 2 --timeout 600
if [ -x scripts/soak-netcheck.sh ]; then
  bash scripts/soak-netcheck.sh "$BUILD_DIR" "${SOAK_RUNS:-20}"
fi
