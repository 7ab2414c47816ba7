// Primary-ray throughput of the serially built KD-tree, one thread.
#include "BenchMeshes.h"
#include "BenchRegistration.h"
#include "KDTreeTracing.h"
#include "TraceCounters.h"
#include "TraceSetup.h"

#include <string>

namespace zrv {
namespace bench {

namespace {

void run_kdtree_trace(benchmark::State& state, std::size_t nominal) {
    const TraceSetup& setup = trace_setup(nominal);
    if (!setup.error.empty()) {
        state.SkipWithError(setup.error.c_str());
        return;
    }
    const std::vector<RayPacket>& packets = benchmark_packets();
    FrameTrace frame;
    for (auto _ : state) {
        frame = trace_frame(*setup.tree, packets, nullptr);
        benchmark::DoNotOptimize(frame.hits);
    }
    publish_trace_counters(state, benchmark_mesh(nominal).size(), packets.size(), frame);
}

} // namespace

void register_kdtree_trace_benchmarks() {
    for (std::size_t nominal : {MEDIUM_MESH, LARGE_MESH}) {
        const std::string name = "kdtree_trace/primary_2x2/" + size_label(nominal);
        benchmark::RegisterBenchmark(name.c_str(), run_kdtree_trace, nominal)
            ->Unit(benchmark::kMillisecond);
    }
}

} // namespace bench
} // namespace zrv
