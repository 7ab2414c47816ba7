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

// Times refit(frame) for frames 1, 0, 1, ...: a step of the animation, which
// returns false, with the benchmark skipped as failure says, when it fails.
template <typename Refit>
void time_refits(benchmark::State& state, std::size_t triangles, const char* failure,
                 const Refit& refit) {
    BuildTiming timing;
    int frame = 0;
    for (auto _ : state) {
        frame ^= 1;
        timing.start();
        const bool fitted = refit(frame);
        timing.stop(state);
        if (!fitted) {
            state.SkipWithError(failure);
            return;
        }
    }
    timing.publish(state, triangles);
}

void run_wide_bvh_refit(benchmark::State& state, unsigned int threads, std::size_t nominal) {
    const std::vector<triAccel>* frames[2] = {&benchmark_mesh(nominal), &bent_mesh(nominal)};
    const unsigned int count = unsigned(frames[0]->size());
    gfxRTWideBVH tree;
    if (!tree.build(frames[0]->data(), count, threads)) {
        state.SkipWithError("the wide BVH build failed");
        return;
    }
    time_refits(state, count, "the wide BVH refit failed",
                [&](int frame) { return tree.refit(frames[frame]->data(), count, threads); });
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
    time_refits(state, count, "the wide scene's refit failed", [&](int frame) {
        return scene.refit_mesh(0, instanced_frame(frame).data(), count, threads) &&
               scene.refit(threads);
    });
}

#ifdef ZRV_BENCH_HAVE_EMBREE
// Embree's side of a deforming mesh: a triangle geometry of build quality
// "refit" over a frame's buffers, attached to a committed scene of its own.
class EmbreeRefitMesh {
public:
    EmbreeRefitMesh(RTCDevice device, const EmbreeTriangleBuffers& frame)
        : scene_(rtcNewScene(device)),
          geometry_(rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE)) {
        rtcSetGeometryBuildQuality(geometry_, RTC_BUILD_QUALITY_REFIT);
        rtcSetSharedGeometryBuffer(geometry_, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3,
                                   frame.indices.data(), 0, 3 * sizeof(unsigned int),
                                   frame.triangle_count);
        show(frame);
        rtcAttachGeometry(scene_, geometry_);
        rtcCommitScene(scene_);
    }
    ~EmbreeRefitMesh() {
        rtcReleaseGeometry(geometry_);
        rtcReleaseScene(scene_);
    }
    EmbreeRefitMesh(const EmbreeRefitMesh&) = delete;
    EmbreeRefitMesh& operator=(const EmbreeRefitMesh&) = delete;

    RTCScene scene() const { return scene_; }
    // Swaps in frame's vertices (indexed as the first frame's) and commits
    // the geometry; the scene's commit refits it.
    void show(const EmbreeTriangleBuffers& frame) {
        rtcSetSharedGeometryBuffer(geometry_, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3,
                                   frame.vertices.data(), 0, 3 * sizeof(float),
                                   frame.triangle_count * 3);
        rtcCommitGeometry(geometry_);
    }

private:
    RTCScene scene_;
    RTCGeometry geometry_;
};

// Embree runs every device on as many threads as the most demanding one
// asks for, so the two-thread device lives only while it is measured.
RTCDevice refit_device(unsigned int threads) {
    return threads > 1 ? rtcNewDevice("threads=2") : single_thread_device();
}

void release_refit_device(RTCDevice device, unsigned int threads) {
    if (threads > 1)
        rtcReleaseDevice(device);
}

// Refits mesh to frame, then commits its scene and then commit_above(), the
// scenes that instance it; false on Embree's error.
template <typename Commit>
bool embree_refit(RTCDevice device, EmbreeRefitMesh& mesh, const EmbreeTriangleBuffers& frame,
                  const Commit& commit_above) {
    mesh.show(frame);
    rtcCommitScene(mesh.scene());
    commit_above();
    return rtcGetDeviceError(device) == RTC_ERROR_NONE;
}

void run_embree_refit(benchmark::State& state, unsigned int threads, std::size_t nominal) {
    const EmbreeTriangleBuffers frames[2] = {embree_triangle_buffers(benchmark_mesh(nominal)),
                                             embree_triangle_buffers(bent_mesh(nominal))};
    RTCDevice device = refit_device(threads);
    {
        EmbreeRefitMesh mesh(device, frames[0]);
        time_refits(state, frames[0].triangle_count, "Embree's refit failed",
                    [&](int frame) { return embree_refit(device, mesh, frames[frame], [] {}); });
    }
    release_refit_device(device, threads);
}

void run_embree_scene_refit(benchmark::State& state, unsigned int threads) {
    const EmbreeTriangleBuffers frames[2] = {embree_triangle_buffers(instanced_frame(0)),
                                             embree_triangle_buffers(instanced_frame(1))};
    RTCDevice device = refit_device(threads);
    {
        EmbreeRefitMesh mesh(device, frames[0]);
        RTCScene top = rtcNewScene(device);
        const std::vector<RTCGeometry> instances =
            attach_embree_instances(device, top, mesh.scene());
        rtcCommitScene(top);
        time_refits(state, frames[0].triangle_count, "Embree's refit failed", [&](int frame) {
            return embree_refit(device, mesh, frames[frame], [&] {
                // The instances' boxes follow their scene's once they are
                // committed.
                for (RTCGeometry instance : instances)
                    rtcCommitGeometry(instance);
                rtcCommitScene(top);
            });
        });
        for (RTCGeometry instance : instances)
            rtcReleaseGeometry(instance);
        rtcReleaseScene(top);
    }
    release_refit_device(device, threads);
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
