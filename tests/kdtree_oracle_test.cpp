// Traversal of built trees against brute force over every triangle.
#include "KDTreeTestUtil.h"
#include "OracleRays.h"
#include "OracleScenes.h"
#include "zrvScenes.h"
#include "zrvSceneShapes.h"

#include <gtest/gtest.h>

namespace {

using zrv::scenes::Bounds;

class KDTreeOracle : public ::testing::TestWithParam<OracleScene> {};

// Coherent camera packets and scattered single-lane rays, nearest hits and
// shadow rays (every third triangle casts no shadow).
TEST_P(KDTreeOracle, NearestAndShadowHitsMatchBruteForce) {
    std::vector<triAccel> triangles = GetParam().make();
    for (std::size_t i = 0; i < triangles.size(); i += 3)
        triangles[i].casts_shadow = 0;
    InspectableKDTree tree(1);
    ASSERT_TRUE(tree.create_tree_from_triAccel_list(triangles.data(), unsigned(triangles.size())));
    const Bounds bounds = zrv::scenes::scene_bounds(triangles);
    std::vector<RayPacket> packets = camera_packets(bounds, 64, 64, 0.7f);
    for (const std::vector<RayPacket>& more :
         {camera_packets(bounds, 32, 32, 2.9f),
          random_single_lane_packets(triangles, bounds, 6000, 99)})
        packets.insert(packets.end(), more.begin(), more.end());
    for (bool shadow : {false, true}) {
        const RenderState state{0, shadow ? 1u : 0u};
        long rays = 0, hits = 0, disagreements = 0;
        std::string report;
        for (std::size_t i = 0; i < packets.size(); i += shadow ? 3 : 1) {
            HitPacket tree_hits = empty_hits(), reference = empty_hits();
            host_trace(tree, packets[i], state, tree_hits);
            brute_force_trace(triangles, packets[i], state, reference);
            disagreements += count_disagreements(packets[i], tree_hits, reference, &report);
            for (int k = 0; k < 4; ++k) {
                rays += (packets[i].active_mask >> k) & 1;
                hits += ((packets[i].active_mask >> k) & 1) && lane_of(reference.id, k) >= 0;
            }
        }
        EXPECT_EQ(disagreements, 0) << report;
        EXPECT_GT(hits, rays / 200); // enough hits for the comparison to mean something
    }
}

INSTANTIATE_TEST_SUITE_P(Scenes, KDTreeOracle, ::testing::ValuesIn(ORACLE_SCENES), SceneName());

} // namespace
