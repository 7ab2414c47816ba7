// KD-tree builds of the benchmark meshes: the serial build, and the compile
// service with one and two threads when the library offers it.
#include "BenchMeshes.h"
#include "BenchRegistration.h"
#include "BenchSummary.h"
#include "BuildTiming.h"

#include "gfxRTKDTree.h"
#if __has_include("gfxRTAccelerationStructureServices.h")
#include "gfxRTAccelerationStructureServices.h"
#define ZRV_BENCH_HAVE_COMPILE_SERVICE 1
#endif

#include <memory>
#include <string>
#include <vector>

namespace zrv {
namespace bench {

namespace {

// Builds tree over mesh with `threads` build threads; returns why it failed,
// empty on success. fallback_code receives the compile service's code (2 to
// 4: a parallel stage failed and the tree was rebuilt serially).
using BuildFunction = std::string (*)(gfxRTKDTree& tree, const std::vector<triAccel>& mesh,
                                      int threads, int& fallback_code);

struct BuildMethod {
    const char* variant;
    BuildFunction build;
    int threads;
    std::vector<std::size_t> sizes;
};

std::string build_serially(gfxRTKDTree& tree, const std::vector<triAccel>& mesh, int,
                           int& fallback_code) {
    fallback_code = 0;
    if (!tree.create_tree_from_triAccel_list(mesh.data(), unsigned(mesh.size())))
        return "create_tree_from_triAccel_list failed";
    return std::string();
}

#ifdef ZRV_BENCH_HAVE_COMPILE_SERVICE
std::string build_with_compile_service(gfxRTKDTree& tree, const std::vector<triAccel>& mesh,
                                       int threads, int& fallback_code) {
    fallback_code = gfxRTAccelerationStructureServices::CompileKDTree(&tree, threads, mesh.data(),
                                                                      unsigned(mesh.size()));
    if (fallback_code == 1)
        return "CompileKDTree rejected its arguments";
    return std::string();
}
#endif

const BuildMethod BUILD_METHODS[] = {
    {"serial", build_serially, 1, {SMALL_MESH, MEDIUM_MESH, LARGE_MESH}},
#ifdef ZRV_BENCH_HAVE_COMPILE_SERVICE
    {"CompileKDTree_1thread", build_with_compile_service, 1, {MEDIUM_MESH, LARGE_MESH}},
    {"CompileKDTree_2threads", build_with_compile_service, 2, {MEDIUM_MESH, LARGE_MESH}},
    // Four seeds on two cores: the seeding of a two-seed build of the 1M mesh
    // has no room for its child lists and falls back to a serial build.
    {"CompileKDTree_4threads", build_with_compile_service, 4, {MEDIUM_MESH, LARGE_MESH}},
#endif
};

void run_build(benchmark::State& state, const BuildMethod& method, std::size_t nominal) {
    const std::vector<triAccel>& mesh = benchmark_mesh(nominal);
    BuildTiming timing;
    unsigned int nodes = 0, depth = 0;
    int fallback_code = 0;
    for (auto _ : state) {
        // As many tracing slots as build threads, as a host rendering with
        // them would have (the root candidates are then sorted in parallel).
        std::unique_ptr<gfxRTKDTree> tree(new gfxRTKDTree(unsigned(method.threads)));
        timing.start();
        const std::string error = method.build(*tree, mesh, method.threads, fallback_code);
        timing.stop(state);
        if (error.empty() && !tree->get_statistic()->valid) {
            state.SkipWithError("the built tree is not valid");
            break;
        }
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            break;
        }
        nodes = tree->get_number_of_nodes();
        depth = tree->get_statistic()->tree_depth;
    }
    timing.publish(state, mesh.size());
    publish_tree_shape(state, nodes, depth);
    state.counters["fallback_code"] = double(fallback_code);
    if (fallback_code != 0)
        add_summary_note(std::string("kdtree_build/") + method.variant + "/" + size_label(nominal) +
                         ": CompileKDTree returned " + std::to_string(fallback_code) +
                         " (a parallel stage failed; the time includes the serial rebuild)");
}

} // namespace

void register_kdtree_build_benchmarks() {
    for (const BuildMethod& method : BUILD_METHODS) {
        for (std::size_t nominal : method.sizes) {
            const std::string name =
                std::string("kdtree_build/") + method.variant + "/" + size_label(nominal);
            benchmark::RegisterBenchmark(name.c_str(), run_build, method, nominal)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
#ifndef ZRV_BENCH_HAVE_COMPILE_SERVICE
    add_summary_note("gfxRTAccelerationStructureServices.h not present: parallel KD-tree "
                     "builds (CompileKDTree) not measured");
#endif
}

} // namespace bench
} // namespace zrv
