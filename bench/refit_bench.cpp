// Deforming meshes: gfxRTWideBVH::refit to the next frame's vertices, beside
// Embree's refit of the same mesh (a geometry of build quality "refit" whose
// vertex buffer is swapped, then committed), and the build each replaces, on
// one and two threads (Embree's when it is installed). The frames alternate
// between the benchmark mesh and a bent copy, so that every refit moves every
// vertex. The same for the 100k mesh placed 64 times in an instanced scene:
// gfxRTWideScene::refit_mesh and a refit of the top level, beside Embree's
// refit of the instanced scene and a commit of its top scene.
#include "BenchMeshes.h"
#include "BenchRegistration.h"
#include "BuildTiming.h"
#ifdef ZRV_BENCH_HAVE_EMBREE
#include "EmbreeTracing.h"
#endif

#include "InstancedScene.h"

#include "gfxRTWideBVH.h"
#include "gfxRTWideScene.h"
#include "zrvSceneMesh.h"

#include <cmath>
#include <string>
#include <vector>

namespace zrv {
namespace bench {

namespace {

// The mesh bent by a wave across x, of an amplitude of a twentieth of its
// extent along y, with normals worked out again.
const std::vector<triAccel>& bent_mesh(std::size_t nominal) {
    static std::vector<triAccel> bent[2];
    std::vector<triAccel>& mesh = bent[nominal == MEDIUM_MESH ? 0 : 1];
    if (!mesh.empty())
        return mesh;
    mesh = benchmark_mesh(nominal);
    float lo = mesh[0].vertex0[1], hi = lo;
    for (const triAccel& t : mesh)
        for (const float* v : {t.vertex0, t.vertex1, t.vertex2}) {
            lo = std::fmin(lo, v[1]);
            hi = std::fmax(hi, v[1]);
        }
    const float amplitude = 0.05f * (hi - lo), wavenumber = 6.0f / (hi - lo);
    for (triAccel& t : mesh) {
        for (float* v : {t.vertex0, t.vertex1, t.vertex2})
            v[1] += amplitude * std::sin(wavenumber * v[0]);
        zrv::scenes::compute_normal(t);
    }
    return mesh;
}

void run_wide_bvh_refit(benchmark::State& state, unsigned int threads, std::size_t nominal) {
    const std::vector<triAccel>* frames[2] = {&benchmark_mesh(nominal), &bent_mesh(nominal)};
    const unsigned int count = unsigned(frames[0]->size());
    gfxRTWideBVH tree;
    if (!tree.build(frames[0]->data(), count, threads)) {
        state.SkipWithError("the wide BVH build failed");
        return;
    }
    BuildTiming timing;
    int frame = 0;
    for (auto _ : state) {
        frame ^= 1;
        timing.start();
        const bool fitted = tree.refit(frames[frame]->data(), count, threads);
        timing.stop(state);
        if (!fitted) {
            state.SkipWithError("the wide BVH refit failed");
            return;
        }
    }
    timing.publish(state, count);
}

// Frame 0 of the instanced scene's mesh is the 100k mesh, frame 1 its bent
// copy.
const std::vector<triAccel>& instanced_frame(int frame) {
    return frame == 0 ? benchmark_mesh(MEDIUM_MESH) : bent_mesh(MEDIUM_MESH);
}

void run_wide_scene_refit(benchmark::State& state, unsigned int threads) {
    const unsigned int count = unsigned(instanced_frame(0).size());
    gfxRTWideScene scene;
    bool made = scene.add_mesh(instanced_frame(0).data(), count, threads) == 0;
    for (const std::vector<float>& m : instance_transforms(SCENE_INSTANCES, 7))
        made = made && scene.add_instance(0, m.data()) == GFX_WIDE_INSTANCE_DONE;
    if (!made || !scene.commit(threads)) {
        state.SkipWithError("the wide scene could not be made");
        return;
    }
    BuildTiming timing;
    int frame = 0;
    for (auto _ : state) {
        frame ^= 1;
        timing.start();
        const bool fitted = scene.refit_mesh(0, instanced_frame(frame).data(), count, threads) &&
                            scene.refit(threads);
        timing.stop(state);
        if (!fitted) {
            state.SkipWithError("the wide scene's refit failed");
            return;
        }
    }
    timing.publish(state, count);
}

#ifdef ZRV_BENCH_HAVE_EMBREE
void run_embree_refit(benchmark::State& state, unsigned int threads, std::size_t nominal) {
    const EmbreeTriangleBuffers frames[2] = {embree_triangle_buffers(benchmark_mesh(nominal)),
                                             embree_triangle_buffers(bent_mesh(nominal))};
    // Embree runs every device on as many threads as the most demanding one
    // asks for, so the two-thread device lives only while it is measured.
    RTCDevice device = threads > 1 ? rtcNewDevice("threads=2") : single_thread_device();
    RTCScene scene = rtcNewScene(device);
    RTCGeometry geometry = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
    rtcSetGeometryBuildQuality(geometry, RTC_BUILD_QUALITY_REFIT);
    rtcSetSharedGeometryBuffer(geometry, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3,
                               frames[0].indices.data(), 0, 3 * sizeof(unsigned int),
                               frames[0].triangle_count);
    rtcSetSharedGeometryBuffer(geometry, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3,
                               frames[0].vertices.data(), 0, 3 * sizeof(float),
                               frames[0].triangle_count * 3);
    rtcCommitGeometry(geometry);
    rtcAttachGeometry(scene, geometry);
    rtcCommitScene(scene);
    BuildTiming timing;
    int frame = 0;
    for (auto _ : state) {
        frame ^= 1;
        timing.start();
        rtcSetSharedGeometryBuffer(geometry, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3,
                                   frames[frame].vertices.data(), 0, 3 * sizeof(float),
                                   frames[frame].triangle_count * 3);
        rtcCommitGeometry(geometry);
        rtcCommitScene(scene);
        timing.stop(state);
        if (rtcGetDeviceError(device) != RTC_ERROR_NONE) {
            state.SkipWithError("Embree's refit failed");
            break;
        }
    }
    rtcReleaseGeometry(geometry);
    rtcReleaseScene(scene);
    if (threads > 1)
        rtcReleaseDevice(device);
    timing.publish(state, frames[0].triangle_count);
}

void run_embree_scene_refit(benchmark::State& state, unsigned int threads) {
    const EmbreeTriangleBuffers frames[2] = {embree_triangle_buffers(instanced_frame(0)),
                                             embree_triangle_buffers(instanced_frame(1))};
    RTCDevice device = threads > 1 ? rtcNewDevice("threads=2") : single_thread_device();
    RTCScene mesh = rtcNewScene(device);
    RTCGeometry geometry = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
    rtcSetGeometryBuildQuality(geometry, RTC_BUILD_QUALITY_REFIT);
    rtcSetSharedGeometryBuffer(geometry, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3,
                               frames[0].indices.data(), 0, 3 * sizeof(unsigned int),
                               frames[0].triangle_count);
    rtcSetSharedGeometryBuffer(geometry, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3,
                               frames[0].vertices.data(), 0, 3 * sizeof(float),
                               frames[0].triangle_count * 3);
    rtcCommitGeometry(geometry);
    rtcAttachGeometry(mesh, geometry);
    rtcCommitScene(mesh);
    RTCScene top = rtcNewScene(device);
    std::vector<RTCGeometry> instances;
    for (const std::vector<float>& m : instance_transforms(SCENE_INSTANCES, 7)) {
        RTCGeometry instance = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_INSTANCE);
        rtcSetGeometryInstancedScene(instance, mesh);
        rtcSetGeometryTransform(instance, 0, RTC_FORMAT_FLOAT3X4_ROW_MAJOR, m.data());
        rtcCommitGeometry(instance);
        rtcAttachGeometry(top, instance);
        instances.push_back(instance);
    }
    rtcCommitScene(top);
    BuildTiming timing;
    int frame = 0;
    for (auto _ : state) {
        frame ^= 1;
        timing.start();
        rtcSetSharedGeometryBuffer(geometry, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3,
                                   frames[frame].vertices.data(), 0, 3 * sizeof(float),
                                   frames[frame].triangle_count * 3);
        rtcCommitGeometry(geometry);
        rtcCommitScene(mesh);
        // The instances' boxes follow their scene's once they are committed.
        for (RTCGeometry instance : instances)
            rtcCommitGeometry(instance);
        rtcCommitScene(top);
        timing.stop(state);
        if (rtcGetDeviceError(device) != RTC_ERROR_NONE) {
            state.SkipWithError("Embree's refit failed");
            break;
        }
    }
    for (RTCGeometry instance : instances)
        rtcReleaseGeometry(instance);
    rtcReleaseScene(top);
    rtcReleaseGeometry(geometry);
    rtcReleaseScene(mesh);
    if (threads > 1)
        rtcReleaseDevice(device);
    timing.publish(state, frames[0].triangle_count);
}
#endif

} // namespace

void register_refit_benchmarks() {
    for (unsigned int threads : {1u, 2u}) {
        const std::string suffix = threads == 1 ? "_1thread/" : "_2threads/";
        for (std::size_t nominal : {MEDIUM_MESH, LARGE_MESH}) {
            const std::string wide = "widebvh_refit/deform" + suffix + size_label(nominal);
            benchmark::RegisterBenchmark(wide.c_str(), run_wide_bvh_refit, threads, nominal)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
#ifdef ZRV_BENCH_HAVE_EMBREE
            const std::string embree = "embree_refit/deform" + suffix + size_label(nominal);
            benchmark::RegisterBenchmark(embree.c_str(), run_embree_refit, threads, nominal)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
#endif
        }
        const std::string scene = "widescene_refit_mesh/deform" + suffix + "64x100k";
        benchmark::RegisterBenchmark(scene.c_str(), run_wide_scene_refit, threads)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
#ifdef ZRV_BENCH_HAVE_EMBREE
        const std::string embree = "embree_refit_mesh/deform" + suffix + "64x100k";
        benchmark::RegisterBenchmark(embree.c_str(), run_embree_scene_refit, threads)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
#endif
    }
}

} // namespace bench
} // namespace zrv
