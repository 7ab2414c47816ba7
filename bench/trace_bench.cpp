// Throughput of the library's structures on every ray set, on one thread and
// on two threads tracing halves of the frame at once: the serially built
// KD-tree, the BVH built with build_tree(1) and the two-level structures.
#include "BenchMeshes.h"
#include "BenchRays.h"
#include "BenchRegistration.h"
#include "TraceCounters.h"
#include "TraceSetup.h"

#include <string>

namespace zrv {
namespace bench {

namespace {

void run_trace(benchmark::State& state, Structure structure, RaySet rays, unsigned int threads,
               std::size_t nominal) {
    const TraceSetup& setup = trace_setup(nominal);
    if (!setup.error(structure).empty()) {
        state.SkipWithError(setup.error(structure).c_str());
        return;
    }
    const std::vector<RayPacket>& packets = benchmark_rays(rays, nominal);
    FrameTrace frame;
    for (auto _ : state) {
        frame = setup.trace(structure, packets, threads);
        benchmark::DoNotOptimize(frame.hits);
    }
    publish_trace_counters(state, benchmark_mesh(nominal).size(), packets.size(), frame);
}

} // namespace

void register_trace_benchmarks() {
    for (std::size_t nominal : {MEDIUM_MESH, LARGE_MESH}) {
        for (RaySet rays : RAY_SETS) {
            for (unsigned int threads : TRACE_THREAD_COUNTS) {
                for (Structure structure : STRUCTURES) {
                    const std::string name = std::string(structure_label(structure)) + "_trace/" +
                                             trace_variant(rays, threads) + "/" +
                                             size_label(nominal);
                    benchmark::RegisterBenchmark(name.c_str(), run_trace, structure, rays, threads,
                                                 nominal)
                        ->Unit(benchmark::kMillisecond)
                        ->UseRealTime();
                }
            }
        }
    }
}

} // namespace bench
} // namespace zrv
