// Embree 3 on the same meshes and rays: builds at two qualities on one thread
// and on all threads, and trace throughput on one thread on every ray set
// (rtcIntersect4, see embree_query), with Embree's best kernels and with its
// SSE2 kernels.
#include "BenchMeshes.h"
#include "BenchRays.h"
#include "BenchRegistration.h"
#include "BuildTiming.h"
#include "EmbreeTracing.h"
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

void run_embree_build(benchmark::State& state, RTCBuildQuality quality, bool all_threads,
                      std::size_t nominal) {
    const EmbreeTriangleBuffers& buffers = embree_buffers(nominal);
    // Embree runs every device on as many threads as the most demanding one
    // asks for, so the all-threads device lives only while it is measured.
    RTCDevice device = all_threads ? rtcNewDevice("") : single_thread_device();
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
    if (all_threads)
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
                      std::size_t nominal) {
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
        frame = trace_frame_embree(scene, packets, query, nullptr);
        benchmark::DoNotOptimize(frame.hits);
    }
    publish_trace_counters(state, benchmark_mesh(nominal).size(), packets.size(), frame);
}

} // namespace

void register_embree_build_benchmarks() {
    for (bool all_threads : {false, true}) {
        for (const EmbreeQuality& quality : QUALITIES) {
            const std::vector<std::size_t> sizes =
                all_threads ? std::vector<std::size_t>{MEDIUM_MESH, LARGE_MESH}
                            : std::vector<std::size_t>{SMALL_MESH, MEDIUM_MESH, LARGE_MESH};
            for (std::size_t nominal : sizes) {
                const std::string name = std::string("embree_build/") + quality.name +
                                         (all_threads ? "_allthreads/" : "_1thread/") +
                                         size_label(nominal);
                benchmark::RegisterBenchmark(name.c_str(), run_embree_build, quality.quality,
                                             all_threads, nominal)
                    ->UseManualTime()
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
}

void register_embree_trace_benchmarks() {
    for (std::size_t nominal : {MEDIUM_MESH, LARGE_MESH}) {
        for (RaySet rays : RAY_SETS) {
            for (const EmbreeTraceVariant& variant : TRACE_VARIANTS) {
                const std::string name = std::string("embree_") + variant.name + "_trace/" +
                                         ray_set_name(rays) + "/" + size_label(nominal);
                benchmark::RegisterBenchmark(name.c_str(), run_embree_trace, variant, rays, nominal)
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
}

} // namespace bench
} // namespace zrv
