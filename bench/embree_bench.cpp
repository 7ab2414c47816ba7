// Embree 3 on the same meshes and rays: builds at two qualities on one and
// two threads, and trace throughput on every ray set (rtcIntersect4, see
// embree_query): on one thread with Embree's best kernels and with its SSE2
// kernels, and on two threads with the best kernels; and the counterparts of
// the wide BVH's other calls (QueryFigures.h) on the high-quality scene.
#include "BenchMeshes.h"
#include "BenchRays.h"
#include "BenchRegistration.h"
#include "BuildTiming.h"
#include "EmbreeRayQueries.h"
#include "EmbreeTracing.h"
#include "QueryFigures.h"
#include "ThreadedTrace.h"
#include "TraceCounters.h"
#include "TraceSetup.h"

#include <string>
#include <vector>

namespace zrv {
namespace bench {

namespace {

struct EmbreeQuality {
    const char* name;
    RTCBuildQuality quality;
};

const EmbreeQuality QUALITIES[] = {{"high", RTC_BUILD_QUALITY_HIGH},
                                   {"medium", RTC_BUILD_QUALITY_MEDIUM}};

void run_embree_build(benchmark::State& state, RTCBuildQuality quality, bool two_threads,
                      std::size_t nominal) {
    const EmbreeTriangleBuffers& buffers = embree_buffers(nominal);
    // Embree runs every device on as many threads as the most demanding one
    // asks for, so the two-thread device lives only while it is measured.
    RTCDevice device = two_threads ? rtcNewDevice("threads=2") : single_thread_device();
    BuildTiming timing;
    for (auto _ : state) {
        timing.start();
        RTCScene scene = build_embree_scene(device, buffers, quality);
        timing.stop(state);
        if (!scene) {
            state.SkipWithError("Embree scene build failed");
            break;
        }
        rtcReleaseScene(scene);
    }
    if (two_threads)
        rtcReleaseDevice(device);
    timing.publish(state, buffers.triangle_count);
}

struct EmbreeTraceVariant {
    const char* name;
    RTCBuildQuality quality;
    EmbreeIsa isa;
};

const EmbreeTraceVariant TRACE_VARIANTS[] = {
    {"high", RTC_BUILD_QUALITY_HIGH, EmbreeIsa::NATIVE},
    {"medium", RTC_BUILD_QUALITY_MEDIUM, EmbreeIsa::NATIVE},
    {"high_sse2", RTC_BUILD_QUALITY_HIGH, EmbreeIsa::SSE2},
};

void run_embree_trace(benchmark::State& state, EmbreeTraceVariant variant, RaySet rays,
                      unsigned int threads, std::size_t nominal) {
    // The library's set-up checks its trees against Embree first, so that
    // the agreements are printed before the first trace figures.
    trace_setup(nominal);
    RTCScene scene = embree_trace_scene(nominal, variant.quality, variant.isa);
    if (!scene) {
        state.SkipWithError("Embree scene build failed");
        return;
    }
    const std::vector<RayPacket>& packets = benchmark_rays(rays, nominal);
    const EmbreeQuery query = embree_query(rays);
    FrameTrace frame;
    for (auto _ : state) {
        frame = trace_in_threads(threads, packets,
                                 [&](unsigned int, const RayPacket* first, std::size_t count) {
                                     return trace_run_embree(scene, first, count, query);
                                 });
        benchmark::DoNotOptimize(frame.hits);
    }
    publish_trace_counters(state, benchmark_mesh(nominal).size(), packets.size(), frame);
}

void run_embree_query_trace(benchmark::State& state, QueryFigure figure, unsigned int threads,
                            std::size_t nominal) {
    trace_setup(nominal);
    RTCScene scene = embree_trace_scene(nominal, RTC_BUILD_QUALITY_HIGH);
    if (!scene) {
        state.SkipWithError("Embree scene build failed");
        return;
    }
    const std::vector<RayPacket>& packets = benchmark_rays(figure.rays, nominal);
    const bool coherent = ray_set_is_coherent(figure.rays);
    BatchHits batch_hits;
    FrameTrace frame;
    for (auto _ : state) {
        if (figure.query == RayQuery::BATCH)
            frame = trace_batch_embree(scene, benchmark_ray_arrays(figure.rays, nominal), threads,
                                       batch_hits);
        else
            frame = trace_in_threads(
                threads, packets, [&](unsigned int, const RayPacket* first, std::size_t count) {
                    return trace_run_embree_query(scene, figure.query, coherent, first, count,
                                                  nullptr, nullptr);
                });
        benchmark::DoNotOptimize(frame.hits);
    }
    publish_trace_counters(state, benchmark_mesh(nominal).size(), packets.size(), frame);
}

} // namespace

void register_embree_build_benchmarks() {
    for (bool two_threads : {false, true}) {
        for (const EmbreeQuality& quality : QUALITIES) {
            const std::vector<std::size_t> sizes =
                two_threads ? std::vector<std::size_t>{MEDIUM_MESH, LARGE_MESH}
                            : std::vector<std::size_t>{SMALL_MESH, MEDIUM_MESH, LARGE_MESH};
            for (std::size_t nominal : sizes) {
                const std::string name = std::string("embree_build/") + quality.name +
                                         (two_threads ? "_2threads/" : "_1thread/") +
                                         size_label(nominal);
                benchmark::RegisterBenchmark(name.c_str(), run_embree_build, quality.quality,
                                             two_threads, nominal)
                    ->UseManualTime()
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
}

void register_embree_trace_benchmarks() {
    for (std::size_t nominal : {MEDIUM_MESH, LARGE_MESH}) {
        for (RaySet rays : RAY_SETS) {
            for (unsigned int threads : TRACE_THREAD_COUNTS) {
                for (const EmbreeTraceVariant& variant : TRACE_VARIANTS) {
                    // The other variants are for comparisons on one thread.
                    if (threads > 1 && variant.quality != RTC_BUILD_QUALITY_HIGH)
                        continue;
                    if (threads > 1 && variant.isa != EmbreeIsa::NATIVE)
                        continue;
                    const std::string name = std::string("embree_") + variant.name + "_trace/" +
                                             trace_variant(rays, threads) + "/" +
                                             size_label(nominal);
                    benchmark::RegisterBenchmark(name.c_str(), run_embree_trace, variant, rays,
                                                 threads, nominal)
                        ->Unit(benchmark::kMillisecond)
                        ->UseRealTime();
                }
            }
        }
        for (const QueryFigure& figure : EMBREE_QUERY_FIGURES) {
            for (unsigned int threads : TRACE_THREAD_COUNTS) {
                const std::string name = std::string("embree_high_trace/") + figure.variant_base +
                                         (threads == 1 ? "_1thread/" : "_2threads/") +
                                         size_label(nominal);
                benchmark::RegisterBenchmark(name.c_str(), run_embree_query_trace, figure, threads,
                                             nominal)
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime();
            }
        }
    }
}

} // namespace bench
} // namespace zrv
