#!/bin/sh
# Runs the benchmarks of a build folder configured with -DZRV_BUILD_BENCH=ON,
# prints the machine, the benchmark table and a compact summary, and writes
# the raw figures to <build folder>/results.json.
#
#   sh bench/run.sh [build-folder] [extra Google Benchmark flags...]
#
# e.g. sh bench/run.sh build/bench --benchmark_filter=trace --benchmark_repetitions=3
set -u

build_dir=${1:-build/bench}
[ $# -gt 0 ] && shift

binary="$build_dir/bench/zrv_bench"
if [ ! -x "$binary" ]; then
    echo "run.sh: $binary not found; configure with -DZRV_BUILD_BENCH=ON and build first" >&2
    exit 2
fi

echo "Machine: $(lscpu 2>/dev/null | sed -n 's/^Model name:[[:space:]]*//p' | head -n 1)," \
     "$(nproc) CPUs; load average:$(uptime | sed 's/.*load average[s]*://')"

# One second per benchmark keeps the whole run near a minute and a half on
# two cores; single builds of the largest meshes take longer than that anyway.
"$binary" --benchmark_min_time=1 \
          --benchmark_out="$build_dir/results.json" --benchmark_out_format=json "$@"
status=$?
echo "Raw results: $build_dir/results.json"
exit $status
