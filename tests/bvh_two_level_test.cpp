// Two-level structures: KD-trees under a gfxRTBVH_KDTree find what one
// KD-tree over all triangles and brute force find.
#include "BVHTestUtil.h"
#include "KDTreeTestUtil.h"
#include "OracleRays.h"
#include "OracleScenes.h"
#include "gfxRTAccelerationStructureServices.h"
#include "zrvScenes.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

class TwoLevelOracle : public ::testing::TestWithParam<OracleScene> {};

TEST_P(TwoLevelOracle, MatchesOneKDTreeAndBruteForce) {
    const std::vector<triAccel> triangles = GetParam().make();
    gfxRTKDTree whole(1);
    gfxRTAccelerationStructureServices::CompileKDTree(&whole, 1, triangles.data(),
                                                      unsigned(triangles.size()));
    const zrv::scenes::Bounds bounds = zrv::scenes::scene_bounds(triangles);
    std::vector<RayPacket> packets = camera_packets(bounds, 48, 48, 0.7f);
    const std::vector<RayPacket> scattered = incoherent_packets(bounds, 2500, 31);
    packets.insert(packets.end(), scattered.begin(), scattered.end());
    const std::vector<RayPacket> aimed = random_single_lane_packets(triangles, bounds, 2000, 8);
    packets.insert(packets.end(), aimed.begin(), aimed.end());

    for (bool random_parts : {false, true}) {
        const TwoLevelScene scene = make_two_level(triangles, 7, random_parts, 1);
        ASSERT_EQ(bvh_structural_fault(*scene.bvh), "");
        long rays = 0, hits = 0, disagreements = 0, near_ties = 0;
        std::string report;
        for (const RayPacket& packet : packets) {
            const RenderState state{0, 0};
            RayPacket traced = packet;
            HitPacket two_level = empty_hits(), one_tree = empty_hits(), brute = empty_hits();
            __m128i hit_object;
            scene.bvh->traverse_tree(traced, two_level, hit_object, state, 1e30f);
            ASSERT_EQ(traced.active_mask, packet.active_mask);
            host_trace(whole, packet, state, one_tree);
            brute_force_trace(triangles, packet, state, brute);
            for (int k = 0; k < 4; ++k) {
                if (!((packet.active_mask >> k) & 1))
                    continue;
                ++rays;
                RayPacket lane = packet;
                lane.active_mask = 1 << k;
                for (const HitPacket* reference : {&brute, &one_tree}) {
                    if (count_disagreements(lane, two_level, *reference) == 0)
                        continue;
                    // Coincident faces (the box grid's touching cubes) hit a
                    // float step apart: which one a structure reports first
                    // is a tie.
                    const float t = lane_of(two_level.t, k), t_ref = lane_of(reference->t, k);
                    if (lane_of(two_level.id, k) >= 0 && lane_of(reference->id, k) >= 0 &&
                        std::fabs(t - t_ref) <= 1e-6f * t_ref)
                        ++near_ties;
                    else
                        disagreements += count_disagreements(lane, two_level, *reference, &report);
                }
                const int id = lane_of(two_level.id, k);
                hits += id >= 0;
                EXPECT_EQ(lane_of(hit_object, k), id < 0 ? -1 : scene.part_of[id]);
            }
        }
        EXPECT_EQ(disagreements, 0) << (random_parts ? "random parts: " : "runs: ") << report;
        EXPECT_LT(near_ties, rays / 1000);
        EXPECT_GT(hits, rays / 100);
    }
}

INSTANTIATE_TEST_SUITE_P(Scenes, TwoLevelOracle, ::testing::ValuesIn(ORACLE_SCENES), SceneName());

// Counts its destructions, to check that the BVH deletes each tree once.
class CountedKDTree : public gfxRTKDTree {
public:
    CountedKDTree() : gfxRTKDTree(1) {}
    ~CountedKDTree() override { ++destroyed; }
    static int destroyed;
};
int CountedKDTree::destroyed = 0;

TEST(TwoLevel, AddTreeOwnershipAndServiceCodes) {
    CountedKDTree::destroyed = 0;
    const std::vector<triAccel> tris = zrv::scenes::uv_sphere({0, 0, 0}, 1, 8, 4);
    {
        gfxRTBVH_KDTree bvh;
        EXPECT_EQ(gfxRTAccelerationStructureServices::CompileBVHTree(&bvh, 2), 0);
        CountedKDTree* trees[3] = {new CountedKDTree, new CountedKDTree, new CountedKDTree};
        for (CountedKDTree* t : trees)
            t->create_tree_from_triAccel_list(tris.data(), unsigned(tris.size()));
        bvh.addTree(nullptr);
        bvh.addTree(trees[0]);
        bvh.addTree(trees[0]);
        bvh.addTree(trees[1]);
        bvh.addTree(trees[0]);
        EXPECT_EQ(bvh.get_number_of_objects(), 2u);
        EXPECT_EQ(gfxRTAccelerationStructureServices::CompileBVHTree(&bvh, 1), 0);
        EXPECT_EQ(bvh.get_object_intersection_cost(1), float(tris.size()));
        EXPECT_EQ(bvh.get_object_intersection_cost(2), 0.0f);
        // A tree added after the build leaves the order short: not streamed.
        bvh.addTree(trees[2]);
        RecordingWriter writer;
        EXPECT_FALSE(bvh.stream(writer));
        EXPECT_TRUE(writer.items.empty());
        EXPECT_EQ(CountedKDTree::destroyed, 0);
    }
    EXPECT_EQ(CountedKDTree::destroyed, 3);
    EXPECT_EQ(gfxRTAccelerationStructureServices::CompileBVHTree(nullptr, 2), 1);
}

} // namespace
