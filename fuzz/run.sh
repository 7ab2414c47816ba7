#!/bin/sh
# Writes the seed corpora and runs every fuzz target of a build folder
# configured with -DZRV_BUILD_FUZZ=ON, each for the given number of seconds,
# with memory and time limits. Crashes, leaks and timeouts fail the run; their
# inputs are left in <build folder>/fuzz-artifacts.
#
#   sh fuzz/run.sh [build-folder] [seconds per target] [extra libFuzzer flags...]
set -u

build_dir=${1:-build/fuzz}
seconds=${2:-60}
[ $# -gt 0 ] && shift
[ $# -gt 0 ] && shift

bin="$build_dir/fuzz"
corpus="$build_dir/fuzz-corpus"
artifacts="$build_dir/fuzz-artifacts"
mkdir -p "$corpus/stream_reader" "$corpus/kdtree_loader" "$corpus/bvh_loader" \
    "$corpus/wide_loader" "$corpus/wide_scene_loader" "$corpus/wide_build" \
    "$corpus/wide_exact" "$artifacts"
"$bin/fuzz_seeds" "$corpus/stream_reader" "$corpus/kdtree_loader" "$corpus/bvh_loader" \
    "$corpus/wide_loader" "$corpus/wide_scene_loader" "$corpus/wide_build" \
    "$corpus/wide_exact" || exit 1

status=0
for target in stream_reader kdtree_loader bvh_loader wide_loader wide_scene_loader wide_build \
    wide_exact; do
    echo "== fuzz_$target: $seconds s"
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$bin/fuzz_$target" "$corpus/$target" -max_total_time="$seconds" \
        -rss_limit_mb=2048 -timeout=10 -max_len=65536 -print_final_stats=1 \
        -artifact_prefix="$artifacts/$target-" "$@" 2>"$build_dir/fuzz_$target.log"
    rc=$?
    grep -E "^(stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)" \
        "$build_dir/fuzz_$target.log"
    if [ $rc -ne 0 ]; then
        echo "fuzz_$target failed ($rc); see $build_dir/fuzz_$target.log" >&2
        tail -n 40 "$build_dir/fuzz_$target.log" >&2
        status=1
    fi
done
exit $status
