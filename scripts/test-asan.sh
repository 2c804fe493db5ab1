#!/usr/bin/env bash
# `make test-asan`: builds everything into build-asan with AddressSanitizer and
# UndefinedBehaviorSanitizer (leak detection on) and runs the whole CTest suite.
#
# Environment: ASAN_BUILD_DIR (default build-asan), JOBS (default 2), and CTEST_ARGS for
# extra arguments to ctest (e.g. "-R jstream"). Sanitizer options: scripts/sanitizer-env.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${ASAN_BUILD_DIR:-build-asan}
jobs=${JOBS:-2}

bash scripts/setup.sh
# shellcheck source=scripts/sanitizer-env.sh
source scripts/sanitizer-env.sh

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ \
    -DVOXTRAIL_SANITIZE=address,undefined >"$build_dir.configure.log" 2>&1 \
    || { cat "$build_dir.configure.log"; exit 1; }
cmake --build "$build_dir" -j"$jobs"

echo "test-asan: ASAN_OPTIONS=$ASAN_OPTIONS"
echo "test-asan: UBSAN_OPTIONS=$UBSAN_OPTIONS"
# shellcheck disable=SC2086
cd "$build_dir" && ctest --output-on-failure -j"$jobs" ${CTEST_ARGS:-}
