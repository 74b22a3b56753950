#!/usr/bin/env bash
# Runs the whole test suite: installs missing dependencies, builds everything with
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs ctest (unit, integration and fuzz
# seed-corpus tests). Extra arguments go to ctest, e.g. `scripts/test.sh -L unit`.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

BUILD=${OZY_TEST_BUILD_DIR:-build-asan}
JOBS=${OZY_JOBS:-$(nproc)}
cmake -S . -B "$BUILD" -G Ninja -DOZY_SANITIZE=ON -DOZY_BUILD_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" >/dev/null
cmake --build "$BUILD" -j "$JOBS"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$BUILD"
ctest --output-on-failure -j "$JOBS" "$@"
