// Many threads querying one instanced scene at once, every query kind,
// against the answers of one thread; a mesh of thousands of instances moved
// on several workers.
#include "WideSceneOracle.h"

#include "gfxRTWideScene.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

TEST(WideSceneThreads, ConcurrentQueriesEqualOneThread) {
    const SceneLayout layout = random_instanced_scene(12);
    gfxRTWideScene scene;
    build_scene(layout, scene, 2);
    const WideRays rays = scene_rays(layout, 2000, 13);
    const unsigned int n = rays.size();
    std::vector<gfxRTWideSceneHit> want(n);
    std::vector<unsigned char> want_occluded(n);
    for (unsigned int i = 0; i < n; ++i) {
        scene.intersect1(&rays.origins[3 * i], &rays.directions[3 * i], rays.limits[i], want[i]);
        want_occluded[i] =
            scene.occluded1(&rays.origins[3 * i], &rays.directions[3 * i], rays.limits[i]);
    }
    // Packets of every kind the scene walks (lane by lane, or together):
    // the answers of one thread first.
    const std::vector<RayPacket> packets = scene_packets(layout, rays, 14);
    auto packet_answer = [&](const RayPacket& packet) {
        RayPacket rays4 = packet;
        HitPacket hits{_mm_set1_ps(3.0f), _mm_setzero_ps(), _mm_setzero_ps(), _mm_set1_epi32(-1)};
        __m128i index4, instance4;
        scene.intersect4(rays4, hits, index4, instance4, RenderState{0, 0}, 1e30f);
        const int occluded4 = scene.occluded4(rays4, _mm_set1_ps(2.0f));
        return packet_bits(hits, index4) + packet_bits(hits, instance4) + std::to_string(occluded4);
    };
    std::vector<std::string> want_packets;
    for (const RayPacket& packet : packets)
        want_packets.push_back(packet_answer(packet));
    std::atomic<int> wrong{0};
    auto worker = [&](unsigned int which) {
        for (unsigned int i = which; i < n; i += 3) {
            gfxRTWideSceneHit hit;
            scene.intersect1(&rays.origins[3 * i], &rays.directions[3 * i], rays.limits[i], hit);
            if (scene_hit_bits(hit) != scene_hit_bits(want[i]) ||
                scene.occluded1(&rays.origins[3 * i], &rays.directions[3 * i], rays.limits[i]) !=
                    bool(want_occluded[i]))
                ++wrong;
        }
        std::vector<float> t(n);
        std::vector<int> index(n), instance(n);
        std::vector<unsigned char> occluded(n);
        scene.intersect_batch(rays.origins.data(), rays.directions.data(), rays.limits.data(), n,
                              t.data(), index.data(), instance.data(), nullptr, nullptr, 2);
        scene.occluded_batch(rays.origins.data(), rays.directions.data(), rays.limits.data(), n,
                             occluded.data(), 2);
        for (unsigned int i = 0; i < n; ++i)
            if (t[i] != want[i].t || index[i] != want[i].index || instance[i] != want[i].instance ||
                occluded[i] != want_occluded[i])
                ++wrong;
        for (std::size_t p = which; p < packets.size(); p += 3)
            if (packet_answer(packets[p]) != want_packets[p])
                ++wrong;
    };
    std::vector<std::thread> threads;
    for (unsigned int w = 0; w < 3; ++w)
        threads.emplace_back(worker, w);
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}

// A mesh's instances are bounded again in jobs on the workers: every worker
// count gives the answers of a scene built over the moved mesh. 3,073
// instances: three full jobs of 1,024 and one of the last, of the moved mesh.
TEST(WideSceneThreads, EveryWorkerCountMovesAMeshsInstances) {
    SceneLayout layout = spread_scene(3073, 60.0f, 15);
    layout.meshes[0] = deformed_triangles(layout.meshes[0], 0.3, 2.0, 1.5);
    gfxRTWideScene fresh;
    build_scene(layout, fresh, 2);
    const WideRays rays = scene_rays(layout, 3000, 16);
    const unsigned int n = rays.size();
    std::vector<std::string> want(n);
    for (unsigned int i = 0; i < n; ++i) {
        gfxRTWideSceneHit hit;
        fresh.intersect1(&rays.origins[3 * i], &rays.directions[3 * i], rays.limits[i], hit);
        want[i] = scene_hit_bits(hit);
    }
    const SceneLayout before = spread_scene(3073, 60.0f, 15);
    for (unsigned int threads : {1u, 4u}) {
        gfxRTWideScene scene;
        build_scene(before, scene, 1);
        ASSERT_TRUE(scene.refit_mesh(0, layout.meshes[0].data(), unsigned(layout.meshes[0].size()),
                                     threads));
        ASSERT_TRUE(scene.refit(threads));
        int wrong = 0;
        for (unsigned int i = 0; i < n; ++i) {
            gfxRTWideSceneHit hit;
            scene.intersect1(&rays.origins[3 * i], &rays.directions[3 * i], rays.limits[i], hit);
            wrong += scene_hit_bits(hit) != want[i] ? 1 : 0;
        }
        EXPECT_EQ(wrong, 0) << threads << " threads";
    }
}

} // namespace
