#!/bin/sh
# Runs every benchmark program of the given build directories and keeps
# their JSON output in bench-results/<directory name>/, then draws the chart
# of docs/PERFORMANCE.md from it.
#
#   sh scripts/bench.sh build build-release
#
# Each program runs pinned to one CPU (BENCH_CPU, default 1) with
# BENCH_REPS interleaved repetitions (default 10), so that an operation and
# its anchor see the same machine; figures are read as ratios within a run.
# The load average before and after each program is in its JSON context
# and in bench-results/load.txt.
set -eu
cd "$(dirname "$0")/.."

cpu="${BENCH_CPU:-1}"
reps="${BENCH_REPS:-10}"
pin=""
if command -v taskset >/dev/null 2>&1; then
    pin="taskset -c $cpu"
else
    echo "taskset not found: running unpinned" >&2
fi

[ "$#" -gt 0 ] || set -- build build-release
mkdir -p bench-results
: >bench-results/load.txt
for dir in "$@"; do
    out="bench-results/$(basename "$dir")"
    mkdir -p "$out"
    sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$dir/CMakeCache.txt" >"$out/build-type" 2>/dev/null || true
    for prog in "$dir"/bench/bench_*; do
        [ -x "$prog" ] || continue
        name="$(basename "$prog")"
        echo "$dir $name before: $(cat /proc/loadavg 2>/dev/null || echo unknown)" >>bench-results/load.txt
        $pin "$prog" --benchmark_repetitions="$reps" --benchmark_enable_random_interleaving=true \
            --benchmark_min_time=0.1 --benchmark_report_aggregates_only=true \
            --benchmark_out="$out/$name.json" --benchmark_out_format=json
        echo "$dir $name after: $(cat /proc/loadavg 2>/dev/null || echo unknown)" >>bench-results/load.txt
    done
done

dirs=""
for dir in "$@"; do dirs="$dirs bench-results/$(basename "$dir")"; done
python3 scripts/perf_chart.py --svg docs/performance.svg $dirs
