#!/usr/bin/env bash
# `make coverage`: builds everything into build-coverage with gcov instrumentation, runs
# the whole suite and prints line and branch coverage per source folder (gcovr).
#
# Branches the compiler adds for exceptions, and those it proves unreachable, are left out.
# A branch left untested on purpose carries GCOVR_EXCL_BR_LINE and a reason in its line.
#
# Environment: COVERAGE_BUILD_DIR (default build-coverage), JOBS (default 2), CTEST_ARGS
# for extra arguments to ctest (e.g. "-R efs_"). The per-file report lands in
# COVERAGE_BUILD_DIR/coverage.txt. A failing test is reported, and the figures still
# printed, since they describe what did run; the exit status is then 1.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build_dir=${COVERAGE_BUILD_DIR:-build-coverage}
jobs=${JOBS:-2}

bash scripts/setup.sh
bash scripts/setup.sh gcovr

# -fprofile-update=atomic: several tests count from more than one thread.
flags="--coverage -fprofile-update=atomic"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage \
    -DVOXTRAIL_TEST_TIMEOUT_FACTOR=4 \
    >"$build_dir.configure.log" 2>&1 \
    || { cat "$build_dir.configure.log"; exit 1; }
cmake --build "$build_dir" -j"$jobs"

# Counts of an earlier run would add to this one.
find "$build_dir" -name '*.gcda' -delete
status=0
# shellcheck disable=SC2086
(cd "$build_dir" && ctest --output-on-failure -j"$jobs" ${CTEST_ARGS:-}) || status=1

gcovr_args=(--root "$root" --object-directory "$root/$build_dir"
    --exclude-directories "$root/$build_dir/CMakeFiles"
    --filter "$root/(app|audio|efs|project|stream|tools)/"
    --exclude-throw-branches --exclude-unreachable-branches)
gcovr "${gcovr_args[@]}" --txt "$build_dir/coverage.txt" --json-summary "$build_dir/coverage.json"
python3 - "$build_dir/coverage.json" <<'PY'
import json, sys
folders = ["app", "audio", "efs", "efs/btree", "project", "stream", "tools"]
sums = {f: [0, 0, 0, 0] for f in folders + ["all"]}
for entry in json.load(open(sys.argv[1]))["files"]:
    name = entry["filename"]
    counts = [entry["line_covered"], entry["line_total"],
              entry["branch_covered"], entry["branch_total"]]
    for f in folders:
        # efs counts its btree folder too; efs/btree is also shown alone.
        if name.startswith(f + "/"):
            sums[f] = [a + b for a, b in zip(sums[f], counts)]
    sums["all"] = [a + b for a, b in zip(sums["all"], counts)]
pct = lambda c, t: f"{100.0 * c / t:6.1f} %" if t else "     - "
print(f"{'folder':<11}{'lines':>10}{'of':>8}{'':>10}{'branches':>10}{'of':>8}")
for f in folders + ["all"]:
    lc, lt, bc, bt = sums[f]
    print(f"{f + '/' if f != 'all' else 'all':<11}{pct(lc, lt):>10}{lt:>8}{'':>10}{pct(bc, bt):>10}{bt:>8}")
PY
echo "coverage: per file in $build_dir/coverage.txt"
exit $status
