#!/usr/bin/env bash
# `make fuzz`: builds the libFuzzer programs of fuzz/ with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) into build-fuzz and runs each for a bounded time.
#
# Environment:
#   FUZZ_SECONDS   seconds per target (default 60)
#   FUZZ_TARGETS   targets to run, separated by spaces (default: every one built)
#   FUZZ_BUILD_DIR build folder (default build-fuzz)
#   FUZZ_JOBS      targets run at the same time (default 1)
#   JOBS           build jobs (default 2)
#   FUZZ_EXTRA_ARGS more libFuzzer options, e.g. "-fork=1 -ignore_crashes=1" to go on
#                  past a finding that is known and not fixed yet
#
# Each target starts from its starting inputs (scripts/fuzz-corpus.sh), its regression
# inputs and the corpus it grew in earlier runs (FUZZ_BUILD_DIR/corpus/<target>). An input
# that crashes, hangs, leaks or runs out of memory is copied to fuzz/regressions/<target>/,
# which the `fuzz_replay_<target>` tests of `make test` replay; the script then fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=${FUZZ_SECONDS:-60}
build_dir=${FUZZ_BUILD_DIR:-build-fuzz}
jobs=${JOBS:-2}
parallel=${FUZZ_JOBS:-1}

# clang and its libFuzzer runtime (libclang-rt-14-dev holds libclang_rt.fuzzer*.a).
bash scripts/setup.sh clang-14 libclang-rt-14-dev
bash scripts/setup.sh
# shellcheck source=scripts/sanitizer-env.sh
source scripts/sanitizer-env.sh

mkdir -p "$build_dir"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DVOXTRAIL_FUZZ=ON -DVOXTRAIL_SANITIZE=address,undefined -DVOXTRAIL_BUILD_TESTS=OFF \
    "-DVOXTRAIL_COMPONENTS=${FUZZ_COMPONENTS:-stream;efs;project}" \
    >"$build_dir.configure.log" 2>&1 || { cat "$build_dir.configure.log"; exit 1; }
cmake --build "$build_dir" -j"$jobs"

available=()
for program in "$build_dir"/fuzz/fuzz_*; do
    [[ -x "$program" ]] && available+=("$(basename "$program" | sed 's/^fuzz_//')")
done
read -r -a targets <<<"${FUZZ_TARGETS:-${available[*]}}"
[[ ${#targets[@]} -gt 0 ]] || { echo "fuzz: no fuzz programs were built" >&2; exit 1; }

bash scripts/fuzz-corpus.sh "$build_dir" "$build_dir/starting-inputs"

run_one() {
    local target=$1
    local program="$build_dir/fuzz/fuzz_$target"
    local corpus="$build_dir/corpus/$target"
    local artifacts="$build_dir/artifacts/$target"
    local log="$build_dir/logs/$target.log"
    [[ -x "$program" ]] || { echo "fuzz: no program for target $target" >&2; return 1; }
    mkdir -p "$corpus" "$artifacts" "$(dirname "$log")" "fuzz/regressions/$target"
    # Without -max_len libFuzzer cuts every input it reads to 1 MiB. A container the
    # program saves is larger (a new volume starts one 8 MiB growth step long, its stored
    # files in the middle), so a cut one never opens: let the largest starting or
    # regression input through whole. FUZZ_EXTRA_ARGS may still set its own -max_len.
    local largest len_args=()
    largest=$(find "$build_dir/starting-inputs/$target" "fuzz/regressions/$target" -type f \
        -printf '%s\n' 2>/dev/null | sort -n | tail -n1 || true)
    [[ ${largest:-0} -gt 1048576 ]] && len_args=(-max_len="$largest")
    echo "fuzz: $target for ${seconds}s (log: $log)"
    # New inputs go to the first folder; the others are only read.
    "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 "${len_args[@]}" \
        -print_final_stats=1 -artifact_prefix="$artifacts/" ${FUZZ_EXTRA_ARGS:-} \
        "$corpus" "$build_dir/starting-inputs/$target" "fuzz/regressions/$target" \
        >"$log" 2>&1 || true
}

pids=()
for target in "${targets[@]}"; do
    run_one "$target" &
    pids+=($!)
    if [[ ${#pids[@]} -ge $parallel ]]; then
        wait "${pids[0]}"
        pids=("${pids[@]:1}")
    fi
done
for pid in "${pids[@]}"; do wait "$pid"; done

status=0
for target in "${targets[@]}"; do
    log="$build_dir/logs/$target.log"
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
    if [[ -z "$execs" ]]; then
        # Fork mode and runs stopped by a finding print no final statistics: take the
        # count of the last status line.
        execs=$(sed -n 's/^#\([0-9][0-9]*\)[: \t].*/\1/p' "$log" | tail -n1)
    fi
    found=0
    for artifact in "$build_dir/artifacts/$target"/*; do
        [[ -f "$artifact" ]] || continue
        name=$(basename "$artifact")
        cp "$artifact" "fuzz/regressions/$target/$name"
        rm "$artifact"
        echo "fuzz: $target: FINDING kept as fuzz/regressions/$target/$name"
        found=1
    done
    if [[ -z "$execs" ]]; then
        echo "fuzz: $target: the run ended without final statistics; the end of its log:" >&2
        tail -n 30 "$log" >&2
        status=1
    fi
    if [[ $found -ne 0 ]]; then
        grep -m3 -E "ERROR: |runtime error|check failed" "$log" | sed "s/^/fuzz: $target: /" || true
        status=1
    fi
    echo "fuzz: $target: ${execs:-0} executions (at most ${seconds}s), corpus $(find "$build_dir/corpus/$target" -type f | wc -l) inputs"
done
if [[ $status -ne 0 ]]; then
    echo "fuzz: findings or failed runs above; reproduce one with" \
         "$root/$build_dir/fuzz/fuzz_<target> <input file>" >&2
fi
exit $status
