#!/usr/bin/env bash
# Builds the library and the test suite with AddressSanitizer and UndefinedBehaviorSanitizer
# (LeakSanitizer on) into SANITIZE_BUILD_DIR (default build-sanitize) and runs the suite there, then
# builds the library and the thread stress test with ThreadSanitizer into TSAN_BUILD_DIR (default
# build-tsan) and runs that. Any sanitizer report fails its test; the script exits non-zero on any
# failure. Under AddressSanitizer the soak skips itself: the sanitizer holds freed memory back on
# purpose, so resident memory grows by design there (LeakSanitizer checks for leaks instead).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/loopback-env.sh
ASAN_DIR=${SANITIZE_BUILD_DIR:-build-sanitize}
TSAN_DIR=${TSAN_BUILD_DIR:-build-tsan}
common=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUK_BUILD_EXAMPLES=OFF -DTUK_BUILD_BENCH=OFF)

rm -rf "$ASAN_DIR"
cmake -S . -B "$ASAN_DIR" "${common[@]}" -DTUK_SANITIZE=ON
cmake --build "$ASAN_DIR"
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --test-dir "$ASAN_DIR" --output-on-failure --parallel 2 --timeout 1500 -E "^windows_platform$"

# ThreadSanitizer: Debian's Qt and GLib are not instrumented. Reports from inside them are left
# out (ignore_noninstrumented_modules); the stress test tells ThreadSanitizer about the Qt locks
# the library takes. It needs no suppressions.
rm -rf "$TSAN_DIR"
cmake -S . -B "$TSAN_DIR" "${common[@]}" -DCMAKE_CXX_FLAGS=-fsanitize=thread \
    -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread
cmake --build "$TSAN_DIR" --target tst_thread_stress
TSAN_OPTIONS=halt_on_error=1:ignore_noninstrumented_modules=1 \
    ctest --test-dir "$TSAN_DIR" --output-on-failure -R '^tst_thread_stress$'
