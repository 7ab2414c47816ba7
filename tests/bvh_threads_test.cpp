// Several threads tracing one BVH at once, each with its own thread_index.
#include "BVHTestUtil.h"
#include "OracleRays.h"
#include "zrvScenes.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

// Hits on one thread and on three (thread k takes every third packet, with
// thread_index k), for a triangle BVH and for a BVH over KD-trees.
TEST(BVHThreads, ConcurrentTracingMatchesOneThread) {
    const std::vector<triAccel> tris = zrv::scenes::organic_blob({0, 0, 0}, 1.0f, 4, 3);
    const zrv::scenes::Bounds bounds = zrv::scenes::scene_bounds(tris);
    gfxRTBVH_triAccel single(tris.data(), unsigned(tris.size()));
    ASSERT_TRUE(single.build_tree(1));
    const TwoLevelScene scene = make_two_level(tris, 5, true, 3);
    const std::pair<const gfxRTBVH*, std::vector<RayPacket>> runs[] = {
        {&single, camera_packets(bounds, 64, 64, 0.3f)},
        {scene.bvh.get(), incoherent_packets(bounds, 3000, 4)}};
    for (const auto& run : runs) {
        const std::vector<RayPacket>& packets = run.second;
        auto trace_all = [&](unsigned int slot, std::size_t step, std::vector<HitPacket>& out) {
            for (std::size_t i = slot; i < packets.size(); i += step) {
                RayPacket rays = packets[i];
                __m128i hit_object;
                out[i] = empty_hits();
                run.first->traverse_tree(rays, out[i], hit_object, RenderState{slot, 0}, 1e30f);
            }
        };
        std::vector<HitPacket> alone(packets.size()), together(packets.size());
        trace_all(0, 1, alone);
        std::vector<std::thread> threads;
        for (unsigned int slot = 0; slot < 3; ++slot)
            threads.emplace_back([&, slot] { trace_all(slot, 3, together); });
        for (std::thread& t : threads)
            t.join();
        EXPECT_GT(expect_identical_hits(together, alone), 500);
    }
}

} // namespace
