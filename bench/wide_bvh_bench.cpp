// The wide BVH: gfxRTWideBVH::build on one and two threads, with its bytes
// per triangle, and its throughput on every ray set with each of its calls
// (QueryFigures.h), on one thread and on two.
#include "BenchMeshes.h"
#include "BenchRegistration.h"
#include "BuildTiming.h"
#include "TraceCounters.h"
#include "WideBVHSetup.h"

#include "gfxRTWideBVH.h"

#include <string>
#include <vector>

namespace zrv {
namespace bench {

namespace {

void run_wide_bvh_build(benchmark::State& state, unsigned int threads, std::size_t nominal) {
    const std::vector<triAccel>& mesh = benchmark_mesh(nominal);
    BuildTiming timing;
    gfxRTWideBVH tree;
    for (auto _ : state) {
        // The previous tree is freed before the clock starts.
        tree.clear();
        timing.start();
        const bool built = tree.build(mesh.data(), unsigned(mesh.size()), threads);
        timing.stop(state);
        if (!built || tree.empty()) {
            state.SkipWithError("the wide BVH build failed");
            return;
        }
    }
    timing.publish(state, mesh.size());
    const gfxRTWideBVHStatistics statistics = tree.statistics();
    publish_tree_shape(state, statistics.nodes, statistics.depth);
    state.counters["bytes/triangle"] = double(tree.memory_bytes()) / double(mesh.size());
}

void run_wide_bvh_trace(benchmark::State& state, QueryFigure figure, unsigned int threads,
                        std::size_t nominal) {
    const WideBVHSetup& setup = wide_bvh_setup(nominal);
    if (!setup.error.empty()) {
        state.SkipWithError(setup.error.c_str());
        return;
    }
    FrameTrace frame;
    for (auto _ : state) {
        frame = setup.trace(figure, threads);
        benchmark::DoNotOptimize(frame.hits);
    }
    publish_trace_counters(state, benchmark_mesh(nominal).size(),
                           benchmark_rays(figure.rays, nominal).size(), frame);
}

std::string thread_suffix(unsigned int threads) {
    return threads == 1 ? "_1thread/" : "_" + std::to_string(threads) + "threads/";
}

} // namespace

void register_wide_bvh_build_benchmarks() {
    for (unsigned int threads : {1u, 2u}) {
        for (std::size_t nominal : {MEDIUM_MESH, LARGE_MESH}) {
            const std::string name =
                "widebvh_build/binned" + thread_suffix(threads) + size_label(nominal);
            benchmark::RegisterBenchmark(name.c_str(), run_wide_bvh_build, threads, nominal)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
}

void register_wide_bvh_trace_benchmarks() {
    for (std::size_t nominal : {MEDIUM_MESH, LARGE_MESH}) {
        for (const QueryFigure& figure : WIDE_BVH_FIGURES) {
            for (unsigned int threads : TRACE_THREAD_COUNTS) {
                const std::string name = std::string("widebvh_trace/") + figure.variant_base +
                                         thread_suffix(threads) + size_label(nominal);
                benchmark::RegisterBenchmark(name.c_str(), run_wide_bvh_trace, figure, threads,
                                             nominal)
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime();
            }
        }
    }
}

} // namespace bench
} // namespace zrv
