// Several threads tracing one tree at once, each with its own stack slot.
#include "KDTreeTestUtil.h"
#include "zrvSceneShapes.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

namespace {

TEST(KDTreeThreads, ConcurrentTracingMatchesOneThread) {
    zrv::scenes::Mesh mesh;
    mesh.append(zrv::scenes::torus({0, 0, 0}, 1.0f, 0.35f, 48, 24));
    mesh.append(zrv::scenes::uv_sphere({0, 0, 0}, 0.5f, 24, 12));
    const std::vector<triAccel> tris = mesh.finalize();
    gfxRTKDTree tree(3);
    ASSERT_TRUE(tree.create_tree_from_triAccel_list(tris.data(), unsigned(tris.size())));

    // Random rays through the scene box; single-lane calls split incoherent packets.
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1.5f, 1.5f);
    std::vector<RayPacket> packets(3000);
    for (RayPacket& p : packets) {
        p = packet_of({{0, 0, 0}, {0, 0, 1}});
        for (int k = 0; k < 4; ++k)
            set_ray(p, k, {{u(rng), u(rng), u(rng)}, {u(rng), u(rng), u(rng)}});
    }
    std::vector<HitPacket> alone(packets.size(), empty_hits());
    for (std::size_t i = 0; i < packets.size(); ++i)
        host_trace(tree, packets[i], RenderState{0, 0}, alone[i]);

    std::vector<HitPacket> together(packets.size(), empty_hits());
    std::vector<std::thread> threads;
    for (unsigned slot = 0; slot < 3; ++slot) {
        threads.emplace_back([&, slot] {
            // Each thread traces every packet index congruent to its slot,
            // twice over, so the three stacks are in use at the same time.
            for (int round = 0; round < 2; ++round)
                for (std::size_t i = slot; i < packets.size(); i += 3) {
                    together[i] = empty_hits();
                    host_trace(tree, packets[i], RenderState{slot, 0}, together[i]);
                }
        });
    }
    for (std::thread& t : threads)
        t.join();

    const int hits = expect_identical_hits(together, alone);
    EXPECT_GT(hits, 1000);
}

} // namespace
