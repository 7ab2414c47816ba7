// BVH builds of the benchmark meshes: gfxRTBVH_triAccel::build_tree on one
// thread (the serial binned builder) and on two (the task pool). The time
// includes the consistency check that build_tree runs, as a host pays it.
#include "BenchMeshes.h"
#include "BenchRegistration.h"
#include "BuildTiming.h"

#include "gfxRTBVH.h"

#include <memory>
#include <string>
#include <vector>

namespace zrv {
namespace bench {

namespace {

void run_bvh_build(benchmark::State& state, unsigned int threads, std::size_t nominal) {
    const std::vector<triAccel>& mesh = benchmark_mesh(nominal);
    BuildTiming timing;
    const KDTreeStatistic* statistic = nullptr;
    std::unique_ptr<gfxRTBVH_triAccel> tree;
    for (auto _ : state) {
        // The previous tree is freed before the clock starts.
        tree.reset();
        tree.reset(new gfxRTBVH_triAccel(mesh.data(), unsigned(mesh.size())));
        timing.start();
        const bool checked = tree->build_tree(threads);
        timing.stop(state);
        statistic = tree->get_statistic();
        if (!checked || !statistic || !statistic->valid) {
            state.SkipWithError("the built BVH is not valid");
            return;
        }
    }
    timing.publish(state, mesh.size());
    publish_tree_shape(state, tree->get_number_of_nodes(), statistic->tree_depth);
}

} // namespace

void register_bvh_build_benchmarks() {
    for (unsigned int threads : {1u, 2u}) {
        for (std::size_t nominal : {SMALL_MESH, MEDIUM_MESH, LARGE_MESH}) {
            if (threads > 1 && nominal == SMALL_MESH)
                continue; // a single task: nothing runs in parallel
            const std::string name = std::string("bvh_build/binned_") +
                                     (threads == 1 ? "1thread/" : "2threads/") +
                                     size_label(nominal);
            benchmark::RegisterBenchmark(name.c_str(), run_bvh_build, threads, nominal)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
}

} // namespace bench
} // namespace zrv
