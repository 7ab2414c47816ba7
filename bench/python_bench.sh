#!/bin/sh
# The Python binding's throughput against the C++ rate of the same rays:
# zrv_python_bench_data writes the 100k and 1M benchmark meshes and 1M
# coherent and 1M random rays and times the C++ traces, then
# python_bench.py times Scene.intersect on them with Debian's
# /usr/bin/python3. Both run in ROUNDS alternating rounds (default 3) and
# the report compares the best of each, so that a spell of load on a shared
# machine does not fall on one side only.
#
#   sh bench/python_bench.sh [build-folder]
set -u
build_dir=${1:-build/bench}
data="$build_dir/bench/python_data"
python=${ZRV_PYTHON:-/usr/bin/python3}
rounds=${ROUNDS:-3}
bench="$(dirname "$0")/python_bench.py"

if ! ls "$build_dir"/python/zorvadideruvovozov/_core*.so >/dev/null 2>&1; then
    echo "python_bench.sh: no Python module in $build_dir/python (pybind11-dev, python3-numpy?);" \
         "skipped" >&2
    exit 0
fi
mkdir -p "$data" || exit 1
rm -f "$data/cpp_rates.txt" "$data/python_rates.txt" "$data/python_moves.txt" \
    "$data/python_deforms.txt"
round=0
while [ "$round" -lt "$rounds" ]; do
    "$build_dir/bench/zrv_python_bench_data" "$data" || exit 1
    PYTHONPATH="$build_dir/python" "$python" "$bench" "$data" measure || exit 1
    round=$((round + 1))
done
uptime
PYTHONPATH="$build_dir/python" "$python" "$bench" "$data" report
