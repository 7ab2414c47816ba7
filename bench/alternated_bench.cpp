// The wide BVH and Embree 3 traced in turn in one process, on one and on
// two threads, each ray set several times, keeping each side's best run.
// On a shared virtual machine the rate of a whole benchmark run drifts by a
// fifth between minutes, and separate benchmarks can put the two sides
// under different drift; alternating them puts both under the same. The
// machine's state still moves the ratios by up to a tenth between runs
// (the memory-bound sets most), so compare runs made one after the other.
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
#include <thread>
#include <vector>

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

// Seconds to trace every packet with trace(first packet, count), the
// packets split in equal runs over threads.
template <typename Trace>
double timed(const std::vector<RayPacket>& packets, unsigned int threads, const Trace& trace) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    const std::size_t share = (packets.size() + threads - 1) / threads;
    for (std::size_t first = 0; first < packets.size(); first += share)
        workers.emplace_back(trace, packets.data() + first,
                             first + share < packets.size() ? share : packets.size() - first);
    for (std::thread& worker : workers)
        worker.join();
    return seconds_since(start);
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 9;
    if (runs < 1) {
        std::fprintf(stderr, "usage: zrv_alternated_bench [runs]\n");
        return 2;
    }
    std::printf("%-8s %-8s %-12s %14s %14s %8s\n", "mesh", "threads", "rays", "wide Mrays/s",
                "Embree Mrays/s", "ratio");
    for (std::size_t nominal : {std::size_t(100000), std::size_t(1000000)}) {
        const std::vector<triAccel>& mesh = benchmark_mesh(nominal);
        gfxRTWideBVH tree;
        if (!tree.build(mesh.data(), unsigned(mesh.size()), 2)) {
            std::fprintf(stderr, "zrv_alternated_bench: the wide BVH build failed\n");
            return 1;
        }
        RTCScene scene = embree_trace_scene(nominal, RTC_BUILD_QUALITY_HIGH);
        for (unsigned int threads : {1u, 2u}) {
            for (RaySet set : RAY_SETS) {
                const std::vector<RayPacket>& packets = benchmark_rays(set, nominal);
                const auto wide = [&](const RayPacket* first, std::size_t count) {
                    trace_run_wide(tree, wide_query(set), first, count, nullptr, nullptr);
                };
                const auto embree = [&](const RayPacket* first, std::size_t count) {
                    trace_run_embree(scene, first, count, embree_query(set));
                };
                double best_wide = 0.0, best_embree = 0.0;
                for (int run = 0; run < runs; ++run) {
                    const double w = timed(packets, threads, wide);
                    const double e = timed(packets, threads, embree);
                    best_wide = run == 0 || w < best_wide ? w : best_wide;
                    best_embree = run == 0 || e < best_embree ? e : best_embree;
                }
                const double rays = double(trace_run_wide(tree, wide_query(set), packets.data(),
                                                          packets.size(), nullptr, nullptr)
                                               .rays);
                std::printf("%-8s %-8u %-12s %14.2f %14.2f %7.2fx\n",
                            nominal == 100000 ? "100k" : "1M", threads, ray_set_name(set),
                            1e-6 * rays / best_wide, 1e-6 * rays / best_embree,
                            best_embree / best_wide);
            }
        }
        rtcReleaseScene(scene);
    }
    return 0;
}
