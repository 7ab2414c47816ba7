// The wide BVH and Embree 3 traced in turn in one process, on one thread,
// each ray set several times, keeping each side's best run. On a shared or
// throttled machine the rate of a whole benchmark run drifts by a fifth
// between minutes; alternating the two in one process puts both under the
// same drift, so their ratio holds where separate benchmarks' does not.
//
//   zrv_alternated_bench [runs]   (default 9)
#include "BenchMeshes.h"
#include "BenchRays.h"
#include "EmbreeTracing.h"
#include "WideBVHTracing.h"

#include "gfxRTWideBVH.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

using namespace zrv::bench;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The calls the closing table compares: one-ray calls on camera rays,
// packets on the others.
RayQuery wide_query(RaySet rays) {
    return rays == RaySet::SINGLE ? RayQuery::ONE_RAY : RayQuery::PACKETS;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 9;
    if (runs < 1) {
        std::fprintf(stderr, "usage: zrv_alternated_bench [runs]\n");
        return 2;
    }
    std::printf("%-8s %-12s %14s %14s %8s\n", "mesh", "rays", "wide Mrays/s", "Embree Mrays/s",
                "ratio");
    for (std::size_t nominal : {std::size_t(100000), std::size_t(1000000)}) {
        const std::vector<triAccel>& mesh = benchmark_mesh(nominal);
        gfxRTWideBVH tree;
        if (!tree.build(mesh.data(), unsigned(mesh.size()), 2)) {
            std::fprintf(stderr, "zrv_alternated_bench: the wide BVH build failed\n");
            return 1;
        }
        RTCScene scene = embree_trace_scene(nominal, RTC_BUILD_QUALITY_HIGH);
        for (RaySet set : RAY_SETS) {
            const std::vector<RayPacket>& packets = benchmark_rays(set, nominal);
            double best_wide = 0.0, best_embree = 0.0;
            std::size_t rays = 0;
            for (int run = 0; run < runs; ++run) {
                auto start = std::chrono::steady_clock::now();
                rays = trace_run_wide(tree, wide_query(set), packets.data(), packets.size(),
                                      nullptr, nullptr)
                           .rays;
                const double wide = seconds_since(start);
                start = std::chrono::steady_clock::now();
                trace_run_embree(scene, packets.data(), packets.size(), embree_query(set));
                const double embree = seconds_since(start);
                best_wide = run == 0 || wide < best_wide ? wide : best_wide;
                best_embree = run == 0 || embree < best_embree ? embree : best_embree;
            }
            std::printf("%-8s %-12s %14.2f %14.2f %7.2fx\n", nominal == 100000 ? "100k" : "1M",
                        ray_set_name(set), 1e-6 * double(rays) / best_wide,
                        1e-6 * double(rays) / best_embree, best_embree / best_wide);
        }
        rtcReleaseScene(scene);
    }
    return 0;
}
