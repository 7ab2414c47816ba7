// zrv_bench: KD-tree and BVH build and trace benchmarks, with Embree alongside when
// it is installed, followed by a compact summary. Exits with 1 when a
// benchmark stopped with an error (including a failed correctness check).
#include "BenchRegistration.h"
#include "BenchSummary.h"

#include <benchmark/benchmark.h>

#include <cstdio>

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    using namespace zrv::bench;
    register_kdtree_build_benchmarks();
    register_bvh_build_benchmarks();
    register_wide_bvh_build_benchmarks();
    register_refit_benchmarks();
    register_two_level_build_benchmarks();
    register_stream_benchmarks();
#ifdef ZRV_BENCH_HAVE_EMBREE
    register_embree_build_benchmarks();
#endif
    register_trace_benchmarks();
    register_wide_bvh_trace_benchmarks();
    register_wide_scene_benchmarks();
    register_showcase_benchmarks();
#ifdef ZRV_BENCH_HAVE_EMBREE
    register_embree_trace_benchmarks();
#else
    std::printf("Embree 3 not found at configure time: the Embree comparison is skipped\n");
    add_summary_note("Embree 3 not found: Embree comparison skipped");
#endif

    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    add_wide_scene_ratio_notes();
    reporter.print_summary(stdout);
    benchmark::Shutdown();
    return reporter.any_error() ? 1 : 0;
}
