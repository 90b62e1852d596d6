#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Build the fuzz target with clang and fuzz the core for SECONDS seconds.
#
#   fuzz/run.sh SECONDS [BUILD_DIR]      (BUILD_DIR defaults to build-fuzz)
#
# The seeds are made afresh in fuzz/corpus-work/seeds; inputs the fuzzer finds
# interesting accumulate in fuzz/corpus-work/corpus across runs, and the files
# in fuzz/regressions are replayed as part of the corpus. Exits non-zero on any
# crash, broken contract, leak, timeout or memory blow-up; the input that
# caused it is left in fuzz/corpus-work/artifacts.
set -eu

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 SECONDS [BUILD_DIR]" >&2
    exit 2
fi
seconds=$1
root=$(cd "$(dirname "$0")/.." && pwd)
build=${2:-$root/build-fuzz}
work=$root/fuzz/corpus-work

export CC=clang CXX=clang++
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DUNLZON_FUZZ=ON -DBUILD_TESTING=OFF
cmake --build "$build" --target demo_fuzzer make_corpus -j"$(nproc)"

rm -rf "$work/seeds"
mkdir -p "$work/seeds" "$work/corpus" "$work/artifacts"
"$build/fuzz/make_corpus" "$work/seeds"

regressions=""
if [ -n "$(ls -A "$root/fuzz/regressions" 2>/dev/null)" ]; then
    regressions=$root/fuzz/regressions
fi
status=0
# One image is at most 16 MiB and the allocator's quarantine 256 MiB, so 1 GiB
# of resident memory means a leak or a runaway allocation. The slowest input,
# a 16 MiB image checked byte by byte, takes milliseconds; 10 s is a hang.
# shellcheck disable=SC2086 # an empty $regressions is no argument at all
"$build/fuzz/demo_fuzzer" -max_total_time="$seconds" -rss_limit_mb=1024 -timeout=10 \
    -max_len=65536 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
    "$work/corpus" "$work/seeds" $regressions || status=$?
if [ "$status" -ne 0 ]; then
    echo "fuzz/run.sh: the fuzzer failed (status $status); see $work/artifacts" >&2
    exit 1
fi
