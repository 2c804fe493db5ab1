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
#   FUZZ_CORPUS    "all" (default): every starting input, whole 8 MiB containers included;
#                  "small": only the starting inputs of at most FUZZ_SMALL_BYTES (default
#                  262144) bytes, with inputs kept that small, grown in corpus/<target>-small
#   FUZZ_EXTRA_ARGS more libFuzzer options, e.g. "-fork=1 -ignore_crashes=1" to go on
#                  past a finding that is known and not fixed yet
#
# Each target starts from its starting inputs (scripts/fuzz-corpus.sh), its regression
# inputs and the corpus it grew in earlier runs (FUZZ_BUILD_DIR/corpus/<target>), with its
# dictionary fuzz/<target>.dict when there is one. An input that crashes, hangs, leaks or
# runs out of memory is copied to fuzz/regressions/<target>/, which the
# `fuzz_replay_<target>` tests of `make test` replay; the script then fails.
#
# Two settings keep the large inputs from eating the run: libFuzzer schedules inputs by
# their execution time (-entropic_scale_per_exec_time=1: quick ones up to 30 times as
# often), and AddressSanitizer's quarantine of freed memory is 16 MiB instead of 256 MiB
# (FUZZ_QUARANTINE_MB), which still outlasts every allocation one small input makes but no
# longer hands each run fresh pages that the system must fault in.
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
export ASAN_OPTIONS="$ASAN_OPTIONS:quarantine_size_mb=${FUZZ_QUARANTINE_MB:-16}"
corpus_kind=${FUZZ_CORPUS:-all}
small_bytes=${FUZZ_SMALL_BYTES:-262144}
case "$corpus_kind" in
    all | small) ;;
    *) echo "fuzz: FUZZ_CORPUS must be all or small, not $corpus_kind" >&2; exit 2 ;;
esac

mkdir -p "$build_dir"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DVOXTRAIL_FUZZ=ON -DVOXTRAIL_SANITIZE=address,undefined -DVOXTRAIL_BUILD_TESTS=OFF \
    "-DVOXTRAIL_COMPONENTS=${FUZZ_COMPONENTS:-stream;efs;project;analysis}" \
    >"$build_dir.configure.log" 2>&1 || { cat "$build_dir.configure.log"; exit 1; }
cmake --build "$build_dir" -j"$jobs"

available=()
for program in "$build_dir"/fuzz/fuzz_*; do
    [[ -x "$program" ]] && available+=("$(basename "$program" | sed 's/^fuzz_//')")
done
read -r -a targets <<<"${FUZZ_TARGETS:-${available[*]}}"
[[ ${#targets[@]} -gt 0 ]] || { echo "fuzz: no fuzz programs were built" >&2; exit 1; }

bash scripts/fuzz-corpus.sh "$build_dir" "$build_dir/starting-inputs"

# The folder of the grown corpus of a target.
corpus_of() {
    if [[ $corpus_kind == small ]]; then
        echo "$build_dir/corpus/$1-small"
    else
        echo "$build_dir/corpus/$1"
    fi
}

run_one() {
    local target=$1
    local program="$build_dir/fuzz/fuzz_$target"
    local corpus
    corpus=$(corpus_of "$target")
    local starting="$build_dir/starting-inputs/$target"
    local artifacts="$build_dir/artifacts/$target"
    local log="$build_dir/logs/$target.log"
    [[ -x "$program" ]] || { echo "fuzz: no program for target $target" >&2; return 1; }
    mkdir -p "$corpus" "$artifacts" "$(dirname "$log")" "fuzz/regressions/$target"
    local inputs=("$starting" "fuzz/regressions/$target")
    local len_args=() dict_args=()
    if [[ $corpus_kind == small ]]; then
        starting="$build_dir/starting-inputs/$target-small"
        rm -rf "$starting"
        mkdir -p "$starting"
        find "$build_dir/starting-inputs/$target" "fuzz/regressions/$target" -type f \
            ! -name README -size -$((small_bytes + 1))c -exec cp {} "$starting/" \;
        inputs=("$starting")
        len_args=(-max_len="$small_bytes")
    else
        # Without -max_len libFuzzer cuts every input it reads to 1 MiB. A container the
        # program saves is larger (a new volume starts one 8 MiB growth step long, its
        # stored files in the middle), so a cut one never opens: let the largest starting
        # or regression input through whole.
        local largest
        largest=$(find "${inputs[@]}" -type f -printf '%s\n' 2>/dev/null | sort -n |
            tail -n1 || true)
        [[ ${largest:-0} -gt 1048576 ]] && len_args=(-max_len="$largest")
    fi
    [[ -f "fuzz/$target.dict" ]] && dict_args=(-dict="fuzz/$target.dict")
    echo "fuzz: $target for ${seconds}s, $corpus_kind starting inputs (log: $log)"
    # New inputs go to the first folder; the others are only read. FUZZ_EXTRA_ARGS comes
    # last, so it may set its own -max_len.
    "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 "${len_args[@]}" \
        "${dict_args[@]}" -entropic_scale_per_exec_time=1 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" ${FUZZ_EXTRA_ARGS:-} \
        "$corpus" "${inputs[@]}" >"$log" 2>&1 || true
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
    rate=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | sed -n 's/.*exec\/s: *\([0-9]*\).*/\1/p' |
        tail -n1)
    cov=$(grep -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE)' "$log" |
        sed -n 's/.* cov: *\([0-9]*\) ft: *\([0-9]*\).*/\1 edges, \2 features/p' | tail -n1)
    echo "fuzz: $target: ${execs:-0} executions (at most ${seconds}s, ${rate:-?} exec/s)," \
        "coverage ${cov:-unknown}, corpus $(find "$(corpus_of "$target")" -type f | wc -l) inputs"
done
if [[ $status -ne 0 ]]; then
    echo "fuzz: findings or failed runs above; reproduce one with" \
         "$root/$build_dir/fuzz/fuzz_<target> <input file>" >&2
fi
exit $status
