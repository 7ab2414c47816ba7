// KD-trees, triangle BVHs and BVHs over KD-trees against one brute force over
// every triangle, on generated scenes and the same rays.
#include "BVHTestUtil.h"
#include "KDTreeTestUtil.h"
#include "OracleRays.h"
#include "OracleScenes.h"
#include "StreamFiles.h"
#include "gfxRTAccelerationStructureServices.h"
#include "zrvScenes.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using Services = gfxRTAccelerationStructureServices;

struct Tally {
    // excused: lanes a known rounding explains (see Structure).
    long rays = 0, hits = 0, disagreements = 0, excused = 0;
    std::string first_report;
};

// A KD-tree, or a BVH whose hit_object names the hit's triangle or its part.
struct Structure {
    const char* name;
    const gfxRTKDTree* kd;
    const gfxRTBVH* bvh;
    const std::vector<int>* part_of;
    // The BVH's slab test may round a ray through a box's edge out; coincident
    // faces (the box grid's touching cubes) hit a float step apart may swap
    // in a BVH over KD-trees.
    enum { EXACT, SLAB_ROUNDING, NEAR_TIES } excuse;
    float far_max_distance; // for the far camera's rays
    Tally nearest{}, shadow{};
};

// Lanes whose nearest hit lies before max_distance agree exactly with the
// reference; the others may only find hits no nearer.
void check(const Structure& s, const std::vector<triAccel>& triangles, const RayPacket& rays,
           const RenderState& state, const HitPacket& reference, float max_distance, Tally& tally) {
    HitPacket hits = empty_hits(), filtered = empty_hits();
    __m128i hit_object = _mm_set1_epi32(-1);
    RayPacket traced = rays;
    if (s.kd)
        host_trace(*s.kd, rays, state, hits, max_distance);
    else
        s.bvh->traverse_tree(traced, hits, hit_object, state, max_distance);
    EXPECT_EQ(traced.active_mask, rays.active_mask);
    if (s.excuse == Structure::SLAB_ROUNDING)
        box_filtered_brute_force(triangles, rays, state, filtered);
    for (int k = 0; k < 4; ++k) {
        if (!((rays.active_mask >> k) & 1))
            continue;
        ++tally.rays;
        const int id = lane_of(hits.id, k), reference_id = lane_of(reference.id, k);
        tally.hits += reference_id >= 0;
        const int object = s.kd ? -1 : id < 0 || !s.part_of ? id : (*s.part_of)[std::size_t(id)];
        tally.disagreements += lane_of(hit_object, k) != object;
        if (!(lane_of(reference.t, k) < max_distance)) {
            tally.disagreements += id >= 0 && !(lane_of(hits.t, k) >= max_distance);
            continue;
        }
        RayPacket lane = rays;
        lane.active_mask = 1 << k;
        if (count_disagreements(lane, hits, reference) == 0)
            continue;
        const float t = lane_of(hits.t, k), t_ref = lane_of(reference.t, k);
        if ((s.excuse == Structure::SLAB_ROUNDING &&
             count_disagreements(lane, hits, filtered) == 0) ||
            (s.excuse == Structure::NEAR_TIES && id >= 0 && reference_id >= 0 &&
             std::fabs(t - t_ref) <= 1e-6f * t_ref))
            ++tally.excused;
        else
            tally.disagreements += count_disagreements(lane, hits, reference, &tally.first_report);
    }
}

class TraversalOracle : public ::testing::TestWithParam<OracleScene> {};

// Coherent camera packets, single-lane rays aimed at triangles or along axes,
// incoherent packets, a far camera's rays partly beyond max_distance (for the
// triangle BVH), and shadow rays (every third triangle casts no shadow). The
// triangle BVH also saved to a file and loaded checked over a copy.
TEST_P(TraversalOracle, NearestAndShadowHitsMatchBruteForce) {
    std::vector<triAccel> triangles = GetParam().make();
    for (std::size_t i = 0; i < triangles.size(); i += 3)
        triangles[i].casts_shadow = 0;
    const unsigned int count = unsigned(triangles.size());
    const zrv::scenes::Bounds bounds = zrv::scenes::scene_bounds(triangles);
    InspectableKDTree kd(1);
    ASSERT_TRUE(kd.create_tree_from_triAccel_list(triangles.data(), count));
    gfxRTBVH_triAccel bvh(triangles.data(), count);
    ASSERT_TRUE(bvh.build_tree(1));
    // The triangles dealt into 7 KD-trees as runs of the list and at random.
    const TwoLevelScene runs = make_two_level(triangles, 7, false, 1),
                        random_parts = make_two_level(triangles, 7, true, 1);
    ASSERT_EQ(bvh_structural_fault(bvh) + bvh_structural_fault(*runs.bvh) +
                  bvh_structural_fault(*random_parts.bvh),
              "");
    const float far = 1.4f * (bounds.max[0] - bounds.min[0]), none = 1e30f;
    Structure structures[] = {
        {"KD-tree", &kd, nullptr, nullptr, Structure::EXACT, none},
        {"BVH", nullptr, &bvh, nullptr, Structure::SLAB_ROUNDING, far},
        {"runs of KD-trees", nullptr, runs.bvh.get(), &runs.part_of, Structure::NEAR_TIES, none},
        {"random KD-trees", nullptr, random_parts.bvh.get(), &random_parts.part_of,
         Structure::NEAR_TIES, none},
    };
    // Through the first n structures (shadow rays: the KD-tree and the BVH).
    const auto run = [&](const std::vector<RayPacket>& packets, std::size_t n, bool shadow,
                         bool far) {
        const RenderState state{0, shadow ? 1u : 0u};
        for (const RayPacket& p : packets) {
            HitPacket reference = empty_hits();
            brute_force_trace(triangles, p, state, reference);
            for (std::size_t i = 0; i < n; ++i)
                check(structures[i], triangles, p, state, reference,
                      far ? structures[i].far_max_distance : 1e30f,
                      shadow ? structures[i].shadow : structures[i].nearest);
        }
    };
    const std::vector<RayPacket> near_camera = camera_packets(bounds, 64, 64, 0.7f),
                                 far_camera = camera_packets(bounds, 32, 32, 2.9f),
                                 aimed = random_single_lane_packets(triangles, bounds, 6000, 99);
    std::vector<RayPacket> nearest = near_camera, everywhere, shadow, first_sets = near_camera;
    for (const std::vector<RayPacket>& more : {aimed, incoherent_packets(bounds, 2000, 17)})
        nearest.insert(nearest.end(), more.begin(), more.end());
    for (const std::vector<RayPacket>& more :
         {camera_packets(bounds, 48, 48, 0.7f), incoherent_packets(bounds, 2500, 31),
          random_single_lane_packets(triangles, bounds, 2000, 8)})
        everywhere.insert(everywhere.end(), more.begin(), more.end());
    first_sets.insert(first_sets.end(), far_camera.begin(), far_camera.end());
    first_sets.insert(first_sets.end(), aimed.begin(), aimed.end());
    for (std::size_t i = 0; i < first_sets.size(); i += 3)
        shadow.push_back(first_sets[i]);
    for (const RayPacket& p : random_single_lane_packets(triangles, bounds, 1500, 5))
        shadow.push_back(p);
    run(nearest, 2, false, false);
    run(everywhere, 4, false, false);
    run(far_camera, 2, false, true);
    run(shadow, 2, true, false);
    for (const Structure& s : structures) {
        EXPECT_EQ(s.nearest.disagreements + s.shadow.disagreements, 0)
            << s.name << ": " << s.nearest.first_report << s.shadow.first_report;
        EXPECT_GT(s.nearest.hits, s.nearest.rays / 100) << s.name;
        EXPECT_GE(s.shadow.hits, s.shadow.rays / 200) << s.name;
        EXPECT_LT(s.nearest.excused,
                  s.nearest.rays / 1000 * (s.excuse == Structure::NEAR_TIES ? 1 : 2))
            << s.name;
    }

    // Saved to a file and loaded by the checked loader over a copy of the
    // triangles: the same record, and hits that agree with brute force.
    const std::vector<StreamItem> saved = streamed_items(bvh);
    const std::vector<triAccel> copy = triangles;
    const auto file = write_and_reopen([&](gfxStreamWriter& w) { bvh.stream(w); });
    ASSERT_NE(file, nullptr);
    PlxUnicodeString reason;
    std::unique_ptr<gfxRTBVH> checked(
        Services::UnstreamNewBVHChecked(*file, copy.data(), count, file->remaining(), &reason));
    ASSERT_NE(checked, nullptr) << reason.ConvertToChar();
    EXPECT_TRUE(file->at_end() && streamed_items(*checked) == saved);
    Structure reloaded = {"reloaded", nullptr, checked.get(), nullptr, Structure::SLAB_ROUNDING,
                          none};
    for (const RayPacket& p : random_single_lane_packets(copy, bounds, 400, 5)) {
        HitPacket reference = empty_hits();
        brute_force_trace(copy, p, RenderState{0, 0}, reference);
        check(reloaded, copy, p, RenderState{0, 0}, reference, 1e30f, reloaded.nearest);
    }
    EXPECT_EQ(reloaded.nearest.disagreements, 0) << reloaded.nearest.first_report;
}

INSTANTIATE_TEST_SUITE_P(Scenes, TraversalOracle, ::testing::ValuesIn(ORACLE_SCENES), SceneName());

} // namespace
