#!/usr/bin/env bash
# Writes the starting inputs of every fuzz target: OUT_DIR/<target>/, one folder each.
#
#   scripts/fuzz-corpus.sh BUILD_DIR OUT_DIR
#
# BUILD_DIR is a build with the fuzz_replay_<target> programs (any build with tests, or
# build-fuzz). Each target writes its own inputs from valid data: descriptions written by
# the program's own writer plus the other forms the reader accepts, containers and projects
# made by the program (with damaged copies of them), and operation programs that exercise
# every operation of the stream and string classes.
#
# Containers are made small: with a growth step of one block (or a few) a volume is a few
# blocks long, so a container with inline files, fragmented files or a project takes 32 to
# 160 KiB instead of one 8 MiB growth step. Only the structures that cannot be small are
# large: a file table of two levels (1.6 MiB), a free-space tree of two levels (11 MiB),
# and a few whole containers at the default growth step (8 MiB). `make fuzz` with
# FUZZ_CORPUS=small leaves those out.
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
