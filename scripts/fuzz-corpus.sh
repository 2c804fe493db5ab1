#!/usr/bin/env bash
# Writes the starting inputs of every fuzz target: OUT_DIR/<target>/, one folder each.
#
#   scripts/fuzz-corpus.sh BUILD_DIR OUT_DIR
#
# BUILD_DIR is a build with the fuzz_replay_<target> programs (any build with tests, or
# build-fuzz). Each target writes its own inputs from valid data: descriptions written by
# the program's own writer plus the other forms the reader accepts, containers and projects
# saved by the program (with damaged copies of them), and operation programs that exercise
# every operation of the stream and string classes.
set -euo pipefail

if [[ $# -ne 2 ]]; then
    echo "usage: $0 BUILD_DIR OUT_DIR" >&2
    exit 2
fi
build_dir=$1
out_dir=$2

found=0
for program in "$build_dir"/tests/fuzz_replay_*; do
    [[ -x "$program" ]] || continue
    target=$(basename "$program" | sed 's/^fuzz_replay_//')
    rm -rf "${out_dir:?}/$target"
    mkdir -p "$out_dir/$target"
    "$program" --make-corpus "$out_dir/$target"
    found=1
done
if [[ $found -eq 0 ]]; then
    echo "fuzz-corpus: no fuzz_replay_* programs in $build_dir/tests" >&2
    exit 1
fi
