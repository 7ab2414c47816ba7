// Several threads tracing one BVH at once.
#include "BVHTestUtil.h"
#include "OracleRays.h"
#include "zrvScenes.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(BVHThreads, ConcurrentTracingMatchesOneThread) {
    const std::vector<triAccel> tris = zrv::scenes::organic_blob({0, 0, 0}, 1.0f, 4, 3);
    gfxRTBVH_triAccel tree(tris.data(), unsigned(tris.size()));
    ASSERT_TRUE(tree.build_tree(1));
    const std::vector<RayPacket> packets =
        camera_packets(zrv::scenes::scene_bounds(tris), 64, 64, 0.3f);
    auto trace_all = [&](std::size_t first, std::size_t step, std::vector<HitPacket>& out) {
        for (std::size_t i = first; i < packets.size(); i += step) {
            RayPacket rays = packets[i];
            __m128i hit_object;
            out[i] = empty_hits();
            tree.traverse_tree(rays, out[i], hit_object, RenderState{0, 0}, 1e30f);
        }
    };
    std::vector<HitPacket> alone(packets.size()), together(packets.size());
    trace_all(0, 1, alone);
    std::vector<std::thread> threads;
    for (std::size_t slot = 0; slot < 3; ++slot)
        threads.emplace_back([&, slot] { trace_all(slot, 3, together); });
    for (std::thread& t : threads)
        t.join();
    int hits = 0;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        for (int k = 0; k < 4; ++k) {
            ASSERT_EQ(lane_of(together[i].id, k), lane_of(alone[i].id, k)) << i;
            ASSERT_EQ(bits_of(lane_of(together[i].t, k)), bits_of(lane_of(alone[i].t, k))) << i;
            hits += lane_of(alone[i].id, k) >= 0;
        }
    }
    EXPECT_GT(hits, 500);
}

} // namespace
