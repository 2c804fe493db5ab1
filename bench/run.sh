#!/usr/bin/env bash
# `make bench`: installs what the benchmark needs, builds it in build-bench (Release) and
# runs it. BENCH_RUNS, BENCH_SCALE, BENCH_ONLY and BENCH_DIR pass through to the program
# (see bench/voxtrail_bench.cpp); JOBS sets the build's parallelism (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
bash bench/setup.sh

build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVOXTRAIL_BUILD_TESTS=OFF \
    "-DVOXTRAIL_COMPONENTS=stream;efs;project;analysis;audio;tools;bench" > "$build.configure.log" 2>&1 \
    || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" --target voxtrail_bench -j"${JOBS:-2}"

echo "machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo)," \
    "load average $(cut -d' ' -f1-3 /proc/loadavg)"
export BENCH_DIR="${BENCH_DIR:-$PWD/$build/bench-work}"
"$build/bin/voxtrail_bench"
