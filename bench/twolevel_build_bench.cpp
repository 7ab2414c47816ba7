// Builds of the two-level structures (16 and 256 KD-trees under a BVH) on
// one and two threads: the mesh split, the KD-trees and the BVH over them.
#include "BenchMeshes.h"
#include "BenchRegistration.h"
#include "BuildTiming.h"
#include "TwoLevelBuild.h"

#include <string>

namespace zrv {
namespace bench {

namespace {

void run_two_level_build(benchmark::State& state, std::size_t parts, unsigned int threads,
                         std::size_t nominal) {
    const std::vector<triAccel>& mesh = benchmark_mesh(nominal);
    BuildTiming timing;
    for (auto _ : state) {
        TwoLevelTree tree;
        timing.start();
        const bool built = build_two_level(mesh, parts, threads, tree);
        timing.stop(state);
        if (!built) {
            state.SkipWithError("the two-level build failed");
            return;
        }
    }
    timing.publish(state, mesh.size());
}

} // namespace

void register_two_level_build_benchmarks() {
    for (std::size_t parts : {std::size_t(16), std::size_t(256)}) {
        for (unsigned int threads : {1u, 2u}) {
            for (std::size_t nominal : {MEDIUM_MESH, LARGE_MESH}) {
                const std::string name = "twolevel" + std::to_string(parts) + "_build/parts_" +
                                         (threads == 1 ? "1thread/" : "2threads/") +
                                         size_label(nominal);
                benchmark::RegisterBenchmark(name.c_str(), run_two_level_build, parts, threads,
                                             nominal)
                    ->UseManualTime()
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
}

} // namespace bench
} // namespace zrv
