// The wide BVH and Embree 3 traced in turn in one process, on one and on
// two threads, each ray set several times, keeping each side's best run.
// On a shared virtual machine the rate of a whole benchmark run drifts by a
// fifth between minutes, and separate benchmarks can put the two sides
// under different drift; alternating them puts both under the same. The
// machine's state still moves the ratios by up to a tenth between runs
// (the memory-bound sets most), so compare runs made one after the other.
// The instanced scene of the wide scene's benchmarks follows the meshes.
//
//   zrv_alternated_bench [runs]   (default 9)
#include "BenchMeshes.h"
#include "BenchRays.h"
#include "EmbreeRayQueries.h"
#include "EmbreeTracing.h"
#include "InstancedScene.h"
#include "WideBVHTracing.h"

#include "gfxRTWideBVH.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>
#include <vector>

using namespace zrv::bench;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void print_header(const char* structure) {
    std::printf("%-8s %-8s %-12s %14s %14s %8s\n", structure, "threads", "rays", "wide Mrays/s",
                "Embree Mrays/s", "ratio");
}

void print_row(const char* structure, unsigned int threads, const char* rays_name, double rays,
               double wide_seconds, double embree_seconds) {
    std::printf("%-8s %-8u %-12s %14.2f %14.2f %7.2fx\n", structure, threads, rays_name,
                1e-6 * rays / wide_seconds, 1e-6 * rays / embree_seconds,
                embree_seconds / wide_seconds);
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

// The best of runs alternated runs of each side: {wide, Embree} seconds.
template <typename Wide, typename Embree>
std::pair<double, double> alternated(const std::vector<RayPacket>& packets, unsigned int threads,
                                     int runs, const Wide& wide, const Embree& embree) {
    double best_wide = 0.0, best_embree = 0.0;
    for (int run = 0; run < runs; ++run) {
        const double w = timed(packets, threads, wide);
        const double e = timed(packets, threads, embree);
        best_wide = run == 0 || w < best_wide ? w : best_wide;
        best_embree = run == 0 || e < best_embree ? e : best_embree;
    }
    return {best_wide, best_embree};
}

// The instanced scene's one-ray calls on camera rays and packets on the
// others, as its benchmarks compare them.
int run_instanced(int runs) {
    const InstancedScene& setup = instanced_scene();
    RTCScene embree = embree_instanced_scene();
    if (!setup.error.empty() || embree == nullptr) {
        std::fprintf(stderr, "zrv_alternated_bench: the instanced scene: %s\n",
                     setup.error.empty() ? "Embree's build failed" : setup.error.c_str());
        return 1;
    }
    print_header("scene");
    for (unsigned int threads : {1u, 2u})
        for (SceneRays set :
             {SceneRays::SINGLE, SceneRays::PRIMARY, SceneRays::AO, SceneRays::RANDOM}) {
            const RayQuery query = scene_query(set);
            const std::vector<RayPacket>& packets = setup.packets(set);
            const auto wide = [&](const RayPacket* first, std::size_t count) {
                trace_wide_scene(*setup.scene, query, first, count, nullptr);
            };
            const auto other = [&](const RayPacket* first, std::size_t count) {
                if (query != RayQuery::PACKETS)
                    trace_run_embree_query(embree, query, query == RayQuery::PACKETS_IN_FOURS,
                                           first, count, nullptr, nullptr);
                else
                    trace_run_embree(embree, first, count, EmbreeQuery::INCOHERENT_PACKETS);
            };
            const auto best = alternated(packets, threads, runs, wide, other);
            const double rays = double(
                trace_wide_scene(*setup.scene, query, packets.data(), packets.size(), nullptr)
                    .rays);
            const std::string name =
                set == SceneRays::PRIMARY ? "primary_4x" : scene_rays_name(set);
            print_row("64x100k", threads, name.c_str(), rays, best.first, best.second);
        }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 9;
    if (runs < 1) {
        std::fprintf(stderr, "usage: zrv_alternated_bench [runs]\n");
        return 2;
    }
    print_header("mesh");
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
                const auto best = alternated(packets, threads, runs, wide, embree);
                const double rays = double(trace_run_wide(tree, wide_query(set), packets.data(),
                                                          packets.size(), nullptr, nullptr)
                                               .rays);
                print_row(nominal == 100000 ? "100k" : "1M", threads, ray_set_name(set), rays,
                          best.first, best.second);
            }
            // The camera packets four at a time: intersect_packets against
            // rtcIntersect16.
            const std::vector<RayPacket>& camera = benchmark_rays(RaySet::PRIMARY_2X2, nominal);
            const auto trace_fours = [&](bool wide, const RayPacket* first, std::size_t count) {
                return wide ? trace_run_wide(tree, RayQuery::PACKETS_IN_FOURS, first, count,
                                             nullptr, nullptr)
                            : trace_run_embree_query(scene, RayQuery::PACKETS_IN_FOURS, true, first,
                                                     count, nullptr, nullptr);
            };
            const auto best = alternated(
                camera, threads, runs,
                [&](const RayPacket* first, std::size_t count) { trace_fours(true, first, count); },
                [&](const RayPacket* first, std::size_t count) {
                    trace_fours(false, first, count);
                });
            print_row(nominal == 100000 ? "100k" : "1M", threads, "primary_4x",
                      double(trace_fours(true, camera.data(), camera.size()).rays), best.first,
                      best.second);
        }
        rtcReleaseScene(scene);
    }
    return run_instanced(runs);
}
