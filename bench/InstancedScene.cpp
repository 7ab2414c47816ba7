#include "InstancedScene.h"

#include "AORays.h"
#include "BenchMeshes.h"
#include "BenchSummary.h"
#include "LaneCalls.h"
#include "PrimaryRays.h"
#include "RandomRays.h"
#include "SingleRays.h"
#include "TraceAgreement.h"
#ifdef ZRV_BENCH_HAVE_EMBREE
#include "EmbreeRayQueries.h"
#include "EmbreeTracing.h"
#endif

#include "zrvSceneRandom.h"

#include <cmath>
#include <cstdio>

namespace zrv {
namespace bench {

namespace {

using zrv::scenes::SplitMix64;

// The benchmark mesh's size: about 3.3 across.
const float GRID_SPACING = 4.5f;

double uniform(SplitMix64& random) {
    return double(random.next() >> 11) * (1.0 / 9007199254740992.0);
}

void apply(const std::vector<float>& m, const float* p, float* out, bool direction) {
    for (int r = 0; r < 3; ++r)
        out[r] = m[4 * r] * p[0] + m[4 * r + 1] * p[1] + m[4 * r + 2] * p[2] +
                 (direction ? 0.0f : m[4 * r + 3]);
}

// AO rays of the mesh carried to the instances in turn, directions made unit
// length again.
std::vector<RayPacket> instanced_ao_rays(const std::vector<std::vector<float>>& transforms) {
    std::vector<RayPacket> packets = ao_ray_packets(benchmark_mesh(MEDIUM_MESH), 1u << 16, 31);
    for (std::size_t p = 0; p < packets.size(); ++p) {
        const std::vector<float>& m = transforms[p % transforms.size()];
        alignas(16) float f[6][4];
        __m128* const rows[6] = {&packets[p].origin.x,    &packets[p].origin.y,
                                 &packets[p].origin.z,    &packets[p].direction.x,
                                 &packets[p].direction.y, &packets[p].direction.z};
        for (int r = 0; r < 6; ++r)
            _mm_store_ps(f[r], *rows[r]);
        for (int k = 0; k < 4; ++k) {
            const float o[3] = {f[0][k], f[1][k], f[2][k]}, d[3] = {f[3][k], f[4][k], f[5][k]};
            float wo[3], wd[3];
            apply(m, o, wo, false);
            apply(m, d, wd, true);
            const float length = std::sqrt(wd[0] * wd[0] + wd[1] * wd[1] + wd[2] * wd[2]);
            for (int a = 0; a < 3; ++a) {
                f[a][k] = wo[a];
                f[3 + a][k] = wd[a] / length;
            }
        }
        for (int r = 0; r < 6; ++r)
            *rows[r] = _mm_load_ps(f[r]);
    }
    return packets;
}

// The 2x2 blocks of a 512 x 512 camera outside the grid's corner, looking
// at its middle.
std::vector<RayPacket> instanced_primary_rays() {
    const float middle = 1.5f * GRID_SPACING;
    const PinholeCamera camera{{middle + 14.0f, middle + 9.0f, middle + 16.0f},
                               {middle, middle, middle},
                               {0.0f, 1.0f, 0.0f},
                               45.0f};
    return primary_ray_packets(camera, 512, 512);
}

void note(const std::string& line) {
    std::printf("Agreement %s\n", line.c_str());
    add_summary_note("Agreement " + line);
}

#ifdef ZRV_BENCH_HAVE_EMBREE
// Embree carries rays into an instance by its own float inverse, so its t
// differs from ours by more than a single mesh's tolerance where hits are
// near the origin (AO rays), and it misses a few hits ours make (rays that
// disagreed were checked against a brute force over every instance, which
// sided with the wide scene). Hits and misses must agree as for one mesh; t
// within the tolerance on 99.5 % of the common hits.
bool scene_agreement_acceptable(const TraceAgreement& agreement) {
    return agreement.hit_or_miss_fraction() >= REQUIRED_AGREEMENT &&
           agreement.t_fraction() >= 0.995;
}

std::string check_against_embree(const InstancedScene& setup) {
    RTCScene scene = embree_instanced_scene();
    if (!scene)
        return "Embree instanced scene build failed";
    std::string error;
    for (SceneRays rays :
         {SceneRays::SINGLE, SceneRays::PRIMARY, SceneRays::AO, SceneRays::RANDOM}) {
        const std::vector<RayPacket>& packets = setup.packets(rays);
        std::vector<HitPacket> wide(packets.size()), embree(packets.size());
        trace_wide_scene(*setup.scene, scene_query(rays), packets.data(), packets.size(),
                         wide.data());
        trace_frame_embree(scene, packets, EmbreeQuery::INCOHERENT_PACKETS, &embree);
        const TraceAgreement agreement = compare_traces(packets, wide, embree);
        const std::string line = std::string("instanced scene, ") + scene_rays_name(rays) +
                                 " rays: " + agreement.describe("wide scene", "Embree");
        note(line);
        if (!scene_agreement_acceptable(agreement) && error.empty())
            error = "wide scene and Embree disagree: " + line;
    }
    return error;
}
#endif

} // namespace

std::vector<std::vector<float>> instance_transforms(unsigned int count, std::uint64_t seed) {
    SplitMix64 random(seed);
    std::vector<std::vector<float>> transforms;
    for (unsigned int i = 0; i < count; ++i) {
        double q[4], norm = 0.0;
        for (double& x : q) {
            x = uniform(random) * 2.0 - 1.0;
            norm += x * x;
        }
        norm = std::sqrt(norm);
        const double w = q[0] / norm, x = q[1] / norm, y = q[2] / norm, z = q[3] / norm;
        const double rotation[3][3] = {
            {1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
            {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
            {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}};
        const double scale = 0.5 + uniform(random);
        const unsigned int cell = i % 64;
        const double place[3] = {(cell % 4) * GRID_SPACING, ((cell / 4) % 4) * GRID_SPACING,
                                 (cell / 16) * GRID_SPACING};
        std::vector<float> m(12);
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c)
                m[4 * r + c] = float(rotation[r][c] * scale);
            m[4 * r + 3] = float(place[r] + (uniform(random) - 0.5) * GRID_SPACING * 0.3 +
                                 (i / 64) * 0.37 * GRID_SPACING);
        }
        transforms.push_back(m);
    }
    return transforms;
}

RayQuery scene_query(SceneRays rays) {
    return rays == SceneRays::SINGLE    ? RayQuery::ONE_RAY
           : rays == SceneRays::PRIMARY ? RayQuery::PACKETS_IN_FOURS
                                        : RayQuery::PACKETS;
}

const char* scene_rays_name(SceneRays rays) {
    switch (rays) {
    case SceneRays::SINGLE:
        return "single";
    case SceneRays::PRIMARY:
        return "primary";
    case SceneRays::AO:
        return "ao";
    case SceneRays::RANDOM:
        return "random";
    }
    return "";
}

const std::vector<RayPacket>& InstancedScene::packets(SceneRays rays) const {
    return rays == SceneRays::SINGLE    ? single
           : rays == SceneRays::PRIMARY ? primary
           : rays == SceneRays::AO      ? ao
                                        : random;
}

const RayArrays& InstancedScene::arrays(SceneRays rays) const {
    return rays == SceneRays::AO ? ao_arrays : random_arrays;
}

const InstancedScene& instanced_scene() {
    static std::unique_ptr<InstancedScene> setup;
    if (setup)
        return *setup;
    setup.reset(new InstancedScene);
    const std::vector<triAccel>& mesh = benchmark_mesh(MEDIUM_MESH);
    const std::vector<std::vector<float>> transforms = instance_transforms(SCENE_INSTANCES, 7);
    setup->scene.reset(new gfxRTWideScene);
    gfxRTWideScene& scene = *setup->scene;
    if (scene.add_mesh(mesh.data(), unsigned(mesh.size()), 1) != 0) {
        setup->error = "the wide scene's mesh could not be built";
        return *setup;
    }
    for (const std::vector<float>& m : transforms)
        if (scene.add_instance(0, m.data()) != GFX_WIDE_INSTANCE_DONE) {
            setup->error = "an instance was refused";
            return *setup;
        }
    if (!scene.commit(1)) {
        setup->error = "the wide scene's commit failed";
        return *setup;
    }
    setup->primary = instanced_primary_rays();
    setup->single = single_ray_packets(setup->primary);
    setup->ao = instanced_ao_rays(transforms);
    Box box{{-2.0f, -2.0f, -2.0f},
            {3 * GRID_SPACING + 2, 3 * GRID_SPACING + 2, 3 * GRID_SPACING + 2}};
    setup->random = random_ray_packets(box, 1u << 16, 37);
    setup->ao_arrays = ray_arrays(setup->ao);
    setup->random_arrays = ray_arrays(setup->random);
#ifdef ZRV_BENCH_HAVE_EMBREE
    setup->error = check_against_embree(*setup);
#else
    note("instanced scene: Embree not available, hits not cross-checked");
#endif
    return *setup;
}

FrameTrace trace_wide_scene(const gfxRTWideScene& scene, RayQuery query, const RayPacket* packets,
                            std::size_t count, HitPacket* hits_out) {
    if (query == RayQuery::PACKETS_IN_FOURS)
        return trace_packet_runs<4>(
            packets, count, hits_out, [&](const RayPacket* first, std::size_t n, HitPacket* hits) {
                __m128i index[4], instance[4];
                for (std::size_t k = 0; k < n; ++k)
                    clear_hits(hits[k]);
                scene.intersect_packets(first, hits, index, instance, unsigned(n), RenderState{},
                                        NO_HIT_DISTANCE);
                for (std::size_t k = 0; k < n; ++k)
                    hits[k].id = index[k];
                return 1u;
            });
    return trace_packets(packets, count, hits_out, [&](const RayPacket& rays, HitPacket& hits) {
        clear_hits(hits);
        if (query != RayQuery::ONE_RAY) {
            RayPacket copy = rays;
            __m128i index, instance;
            scene.intersect4(copy, hits, index, instance, RenderState{}, NO_HIT_DISTANCE);
            hits.id = index;
            return 1u;
        }
        return intersect_each_lane(
            rays, hits, [&](const LaneRay& ray, float& t, float& u, float& v, int& id) {
                gfxRTWideSceneHit hit;
                if (!scene.intersect1(ray.origin, ray.direction, NO_HIT_DISTANCE, hit))
                    return false;
                t = hit.t;
                u = hit.u;
                v = hit.v;
                id = hit.index;
                return true;
            });
    });
}

FrameTrace trace_wide_scene_batch(const gfxRTWideScene& scene, const RayArrays& arrays,
                                  unsigned int threads, BatchHits& hits) {
    hits.resize(arrays.count);
    scene.intersect_batch(arrays.origins.data(), arrays.directions.data(), nullptr,
                          unsigned(arrays.count), hits.t.data(), hits.index.data(), nullptr,
                          hits.u.data(), hits.v.data(), threads);
    FrameTrace frame;
    frame.rays = arrays.count;
    frame.traversal_calls = 1;
    for (std::size_t i = 0; i < arrays.count; ++i)
        frame.hits += hits.index[i] >= 0 ? 1 : 0;
    return frame;
}

#ifdef ZRV_BENCH_HAVE_EMBREE
RTCScene embree_instanced_scene() {
    static RTCScene top = nullptr;
    if (top)
        return top;
    RTCDevice device = single_thread_device();
    if (!device)
        return nullptr;
    RTCScene mesh = build_embree_scene(device, embree_buffers(MEDIUM_MESH), RTC_BUILD_QUALITY_HIGH);
    if (!mesh)
        return nullptr;
    top = rtcNewScene(device);
    rtcSetSceneBuildQuality(top, RTC_BUILD_QUALITY_HIGH);
    for (RTCGeometry instance : attach_embree_instances(device, top, mesh))
        rtcReleaseGeometry(instance);
    rtcCommitScene(top);
    return top;
}

std::vector<RTCGeometry> attach_embree_instances(RTCDevice device, RTCScene top, RTCScene mesh) {
    std::vector<RTCGeometry> instances;
    for (const std::vector<float>& m : instance_transforms(SCENE_INSTANCES, 7)) {
        RTCGeometry instance = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_INSTANCE);
        rtcSetGeometryInstancedScene(instance, mesh);
        rtcSetGeometryTransform(instance, 0, RTC_FORMAT_FLOAT3X4_ROW_MAJOR, m.data());
        rtcCommitGeometry(instance);
        rtcAttachGeometry(top, instance);
        instances.push_back(instance);
    }
    return instances;
}
#endif

} // namespace bench
} // namespace zrv
