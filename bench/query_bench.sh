#!/bin/sh
# Every ray-casting query of the Python binding against Embree 3 from C++ on
# the 1M benchmark mesh: zrv_embree_query_bench writes the mesh, the rays and
# points and Embree's answers and times Embree's calls, then query_bench.py
# times the Python Scene's queries on the same data with Debian's
# /usr/bin/python3. Both run in ROUNDS alternating rounds (default 3) and the
# report compares the best of each, so that a spell of load on a shared
# machine does not fall on one side only.
#
#   sh bench/query_bench.sh [build-folder]
set -u
build_dir=${1:-build/bench}
data="$build_dir/bench/query_data"
python=${ZRV_PYTHON:-/usr/bin/python3}
rounds=${ROUNDS:-3}
bench="$(dirname "$0")/query_bench.py"

if ! ls "$build_dir"/python/zorvadideruvovozov/_core*.so >/dev/null 2>&1; then
    echo "query_bench.sh: no Python module in $build_dir/python (pybind11-dev, python3-numpy?);" \
         "skipped" >&2
    exit 0
fi
if [ ! -x "$build_dir/bench/zrv_embree_query_bench" ]; then
    echo "query_bench.sh: no zrv_embree_query_bench in $build_dir/bench (libembree-dev?); skipped" >&2
    exit 0
fi
mkdir -p "$data" || exit 1
rm -f "$data/embree_rates.txt" "$data/python_rates.txt" "$data/agreement.txt"
echo "Query comparison with Embree: $(lscpu 2>/dev/null | sed -n 's/^Model name:[[:space:]]*//p' |
     head -n 1), $(nproc) CPUs; load average:$(uptime | sed 's/.*load average[s]*://')"
round=0
while [ "$round" -lt "$rounds" ]; do
    "$build_dir/bench/zrv_embree_query_bench" "$data" || exit 1
    PYTHONPATH="$build_dir/python" "$python" "$bench" "$data" measure || exit 1
    round=$((round + 1))
done
PYTHONPATH="$build_dir/python" "$python" "$bench" "$data" report
