// Built and reloaded triangle BVHs against brute force on generated scenes.
#include "BVHTestUtil.h"
#include "KDTreeTestUtil.h"
#include "OracleRays.h"
#include "OracleScenes.h"
#include "StreamFiles.h"
#include "gfxRTAccelerationStructureServices.h"
#include "zrvScenes.h"

#include <gtest/gtest.h>

namespace {

using Services = gfxRTAccelerationStructureServices;

class BVHOracle : public ::testing::TestWithParam<OracleScene> {};

struct Tally {
    // box_edge: lanes whose ray the slab test rounds out of a triangle's box.
    long rays = 0, hits = 0, disagreements = 0, box_edge = 0;
    std::string first_report;
};

// Lanes whose nearest hit lies before max_distance agree exactly with brute
// force over all triangles or those whose boxes the ray passes; the others
// may only find hits no nearer. hit_object names the hit triangle.
void check(const gfxRTBVH& tree, const std::vector<triAccel>& triangles, const RayPacket& rays,
           bool shadow, Tally& tally, float max_distance = 1e30f) {
    const RenderState state{0, shadow ? 1u : 0u};
    HitPacket hits = empty_hits(), reference = empty_hits(), filtered = empty_hits();
    __m128i hit_object;
    RayPacket traced = rays;
    tree.traverse_tree(traced, hits, hit_object, state, max_distance);
    brute_force_trace(triangles, rays, state, reference);
    box_filtered_brute_force(triangles, rays, state, filtered);
    for (int k = 0; k < 4; ++k) {
        if (!((rays.active_mask >> k) & 1))
            continue;
        ++tally.rays;
        tally.hits += lane_of(reference.id, k) >= 0;
        if (lane_of(hit_object, k) != lane_of(hits.id, k))
            ++tally.disagreements;
        if (!(lane_of(reference.t, k) < max_distance)) {
            if (lane_of(hits.id, k) >= 0 && !(lane_of(hits.t, k) >= max_distance))
                ++tally.disagreements;
            continue;
        }
        RayPacket lane = rays;
        lane.active_mask = 1 << k;
        if (count_disagreements(lane, hits, reference) == 0)
            continue;
        if (count_disagreements(lane, hits, filtered) == 0)
            ++tally.box_edge;
        else
            tally.disagreements += count_disagreements(lane, hits, reference, &tally.first_report);
    }
}

TEST_P(BVHOracle, NearestHitsMatchBruteForce) {
    std::vector<triAccel> triangles = GetParam().make();
    gfxRTBVH_triAccel tree(triangles.data(), unsigned(triangles.size()));
    ASSERT_TRUE(tree.build_tree(1));
    ASSERT_EQ(bvh_structural_fault(tree), "");
    const zrv::scenes::Bounds bounds = zrv::scenes::scene_bounds(triangles);

    // Coherent, single-lane, incoherent, and partly beyond max_distance.
    Tally tally;
    for (const RayPacket& p : camera_packets(bounds, 64, 64, 0.7f))
        check(tree, triangles, p, false, tally);
    for (const RayPacket& p : random_single_lane_packets(triangles, bounds, 6000, 99))
        check(tree, triangles, p, false, tally);
    for (const RayPacket& p : incoherent_packets(bounds, 2000, 17))
        check(tree, triangles, p, false, tally);
    const float extent = bounds.max[0] - bounds.min[0];
    for (const RayPacket& p : camera_packets(bounds, 32, 32, 2.9f))
        check(tree, triangles, p, false, tally, 1.4f * extent);
    EXPECT_EQ(tally.disagreements, 0) << tally.first_report;
    EXPECT_GT(tally.hits, tally.rays / 100);
    EXPECT_LT(tally.box_edge, tally.rays / 500);

    // Saved to a file and loaded by the checked loader over a copy of the
    // triangles: the same record, and hits that agree with brute force.
    RecordingWriter saved;
    ASSERT_TRUE(tree.stream(saved));
    const std::vector<triAccel> copy = triangles;
    const auto file = write_and_reopen([&](gfxStreamWriter& w) { tree.stream(w); });
    ASSERT_NE(file, nullptr);
    PlxUnicodeString reason;
    std::unique_ptr<gfxRTBVH> checked(Services::UnstreamNewBVHChecked(
        *file, copy.data(), unsigned(copy.size()), file->remaining(), &reason));
    ASSERT_NE(checked, nullptr) << reason.ConvertToChar();
    RecordingWriter again;
    EXPECT_TRUE(file->at_end() && checked->stream(again) && again.items == saved.items);
    Tally reloaded;
    for (const RayPacket& p : random_single_lane_packets(copy, bounds, 400, 5))
        check(*checked, copy, p, false, reloaded);
    EXPECT_EQ(reloaded.disagreements, 0) << reloaded.first_report;

    // Shadow rays skip triangles that cast no shadow.
    for (std::size_t i = 0; i < triangles.size(); i += 3)
        triangles[i].casts_shadow = 0;
    Tally shadow;
    for (const RayPacket& p : random_single_lane_packets(triangles, bounds, 1500, 5))
        check(tree, triangles, p, true, shadow);
    EXPECT_EQ(shadow.disagreements, 0) << shadow.first_report;
}

INSTANTIATE_TEST_SUITE_P(Scenes, BVHOracle, ::testing::ValuesIn(ORACLE_SCENES), SceneName());

} // namespace
