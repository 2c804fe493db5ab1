#!/usr/bin/env bash
# `make test-tsan`: builds the tests of the container engine, the stream library and the sound
# analysis into build-tsan with ThreadSanitizer and runs them. A volume is shared between
# threads under its lock, and the analysis measures a show's sounds on worker threads; a data
# race anywhere in what those tests run stops the test with both stacks.
#
# Environment: TSAN_BUILD_DIR (default build-tsan), JOBS (default 2), TSAN_TESTS (the
# CTest regular expression, default the efs, jstream and analysis tests), CTEST_ARGS for extra
# arguments to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${TSAN_BUILD_DIR:-build-tsan}
jobs=${JOBS:-2}
tests=${TSAN_TESTS:-^(efs_|jstream_|analysis_)}

bash scripts/setup.sh
# halt_on_error: the first race fails the test; second_deadlock_stack: lock-order reports
# name both acquisitions.
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:history_size=4}"

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ \
    -DVOXTRAIL_SANITIZE=thread >"$build_dir.configure.log" 2>&1 \
    || { cat "$build_dir.configure.log"; exit 1; }
# Only the test programs that run here: their names are their targets' names.
mapfile -t targets < <(cd "$build_dir" && ctest -N -R "$tests" | awk '/Test +#/ {print $3}')
[[ ${#targets[@]} -gt 0 ]] || { echo "test-tsan: no test matches $tests"; exit 1; }
cmake --build "$build_dir" -j"$jobs" --target "${targets[@]}"

echo "test-tsan: TSAN_OPTIONS=$TSAN_OPTIONS"
# shellcheck disable=SC2086
cd "$build_dir" && ctest --output-on-failure -j"$jobs" -R "$tests" ${CTEST_ARGS:-}
