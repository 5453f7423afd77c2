#!/bin/sh
# Runs every libFuzzer harness of a fuzz build for a fixed time each.
# Usage: run-fuzzers.sh <fuzz-build-dir> <seconds-per-target> [target ...]
# New inputs go to a scratch directory, so the committed seed corpus stays
# small; a crash, leak or failed property stops the run with its reproducer
# saved as fuzz-artifacts/<target>-crash-*.
set -eu
build=$1
seconds=$2
shift 2
src=$(cd "$(dirname "$0")/.." && pwd)
artifacts="$src/fuzz-artifacts"
mkdir -p "$artifacts"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

if [ $# -eq 0 ]; then
    set -- $(cd "$build/fuzz" && ls fuzz_* 2>/dev/null)
fi
for target in "$@"; do
    entry=${target#fuzz_}
    mkdir -p "$scratch/$entry"
    echo "== $target: ${seconds}s"
    "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$artifacts/$target-" \
        "$scratch/$entry" "$src/fuzz/corpus/$entry" 2>"$scratch/$entry.log" || {
        tail -n 60 "$scratch/$entry.log"
        echo "== $target FAILED"
        exit 1
    }
    grep -E '^stat::(number_of_executed_units|peak_rss_mb)|cov: ' "$scratch/$entry.log" | tail -n 3
done
echo "fuzzing: all targets ran clean"
