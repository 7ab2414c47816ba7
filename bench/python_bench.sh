#!/bin/sh
# The Python binding's throughput against the C++ rate of the same rays:
# writes the 100k benchmark mesh and 1M coherent and 1M random rays with
# zrv_python_bench_data (which also times the C++ traces), then times
# Scene.intersect on them with Debian's /usr/bin/python3.
#
#   sh bench/python_bench.sh [build-folder]
set -u
build_dir=${1:-build/bench}
data="$build_dir/bench/python_data"
python=${ZRV_PYTHON:-/usr/bin/python3}

if ! ls "$build_dir"/python/zorvadideruvovozov*.so >/dev/null 2>&1; then
    echo "python_bench.sh: no Python module in $build_dir/python (pybind11-dev, python3-numpy?);" \
         "skipped" >&2
    exit 0
fi
mkdir -p "$data" || exit 1
"$build_dir/bench/zrv_python_bench_data" "$data" || exit 1
PYTHONPATH="$build_dir/python" "$python" "$(dirname "$0")/python_bench.py" "$data"
