// BVH builds of the benchmark meshes: gfxRTBVH_triAccel::build_tree(1), the
// serial binned builder (its time includes the consistency check that
// build_tree runs, as a host pays it).
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

void run_bvh_build(benchmark::State& state, std::size_t nominal) {
    const std::vector<triAccel>& mesh = benchmark_mesh(nominal);
    BuildTiming timing;
    const KDTreeStatistic* statistic = nullptr;
    std::unique_ptr<gfxRTBVH_triAccel> tree;
    for (auto _ : state) {
        // The previous tree is freed before the clock starts.
        tree.reset();
        tree.reset(new gfxRTBVH_triAccel(mesh.data(), unsigned(mesh.size())));
        timing.start();
        const bool checked = tree->build_tree(1);
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
    for (std::size_t nominal : {SMALL_MESH, MEDIUM_MESH, LARGE_MESH}) {
        const std::string name = "bvh_build/serial/" + size_label(nominal);
        benchmark::RegisterBenchmark(name.c_str(), run_bvh_build, nominal)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
}

} // namespace bench
} // namespace zrv
