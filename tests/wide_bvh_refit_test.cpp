// Refitting a wide BVH to moved vertices: the refitted tree answers every
// query as the brute force over the new records does, bit for bit; a refit
// to the records it was built from changes nothing; records it cannot fit
// are refused with the tree left as it was.
#include "OracleRays.h"
#include "OracleScenes.h"
#include "RecordingStream.h"
#include "WideOracle.h"
#include "WideOracleCheck.h"

#include "gfxRTWideBVH.h"
#include "zrvSceneMesh.h"
#include "zrvSceneShapes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

namespace {

typedef std::vector<StreamItem> Items;

std::string text_of(const Items& items) {
    std::string text;
    for (const StreamItem& item : items)
        text += describe(item) + " ";
    return text;
}

std::string saved(const gfxRTWideBVH& tree) {
    return text_of(streamed_items(tree));
}

// The box of the valid triangles' vertices, as the tree bounds them.
zrv::scenes::Bounds valid_bounds(const std::vector<triAccel>& tris) {
    std::vector<triAccel> valid;
    for (const triAccel& t : tris)
        if (oracle_triangle_is_valid(t))
            valid.push_back(t);
    return zrv::scenes::scene_bounds(valid);
}

// 600 equal triangles (an even mesh, whose boxes the single-ray walks widen
// by one slop for the whole tree) with a long edge of length along y and
// the third vertex an angle off it, and rays past their tips or along their
// long edges, as in WideBVHEdges.SliverTipsOnTheLineOfAnEdgeEqualTheBruteForce
// but from within ten times the scene's size (farther, the slop's measured
// margin is known to run out: gfxRTWideBVHLayout.h).
std::vector<triAccel> even_slivers(float length, float angle, WideRays* rays) {
    std::mt19937 rng(43);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const auto exp10 = [&](float lo, float hi) {
        return std::pow(10.0f, lo + (hi - lo) * unit(rng));
    };
    zrv::scenes::Mesh mesh;
    const float along = length * (2.0f / 3.0f);
    for (int i = 0; i < 600; ++i) {
        const float c = 2.0f * unit(rng) - 1.0f, ty = 2.0f * unit(rng) - 1.0f;
        mesh.add_triangle({c, ty, c}, {c, ty + length, c}, {c, ty + along, c - along * angle});
        for (int k = 0; k < 15; ++k) {
            const float a = exp10(-1.0f, 1.0f), b = 2.0f * a * (unit(rng) - 0.5f);
            const float beyond = length * exp10(-9.0f, 1.0f) * (k % 3 == 0 ? -1.0f : 1.0f);
            const float scale = exp10(-1.0f, 1.0f);
            const float o[3] = {c + a, ty + b, c + a};
            const float d[3] = {-a * scale, -(b + beyond) * scale, -a * scale};
            if (rays != nullptr)
                rays->add(o, d, std::numeric_limits<float>::infinity());
        }
    }
    return mesh.finalize();
}

// Slivers a refit makes of well-shaped triangles thirty times smaller: the tree's
// slops, the one slop its single-ray walks widen by and its longest edge are
// worked out again, so that rays past the slivers' tips are as exact as
// after a build.
TEST(WideBVHRefitSlivers, SliversMadeByARefitEqualTheBruteForce) {
    WideRays rays;
    const std::vector<triAccel> fat = even_slivers(0.01f, 0.5f, nullptr);
    const std::vector<triAccel> thin = even_slivers(0.3f, 1e-4f, &rays);
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(fat.data(), unsigned(fat.size()), 1));
    ASSERT_TRUE(tree.refit(thin.data(), unsigned(thin.size()), 1));
    expect_wide_oracle(tree, thin, rays, {}, "slivers made by a refit");
}

class WideBVHRefit : public ::testing::TestWithParam<OracleScene> {};

TEST_P(WideBVHRefit, DeformedMeshesEqualTheBruteForce) {
    std::vector<triAccel> tris = GetParam().make();
    mix_triangle_flags(tris);
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 1));
    const std::string built = saved(tree);
    // Fitting the records the tree was built from changes nothing.
    ASSERT_TRUE(tree.refit(tris.data(), unsigned(tris.size()), 1));
    EXPECT_EQ(saved(tree), built);

    // Bent in place, then also shrunk a thousandfold and moved off: the
    // boxes' padding and every slop must follow the new sizes, as steep rays
    // aimed at edges from some thirty times the scene's size away show.
    const std::vector<triAccel> frames[2] = {deformed_triangles(tris, 0.8, 1.0, 0.0),
                                             deformed_triangles(tris, -0.5, 0.001, 2.0)};
    for (int f = 0; f < 2; ++f) {
        const std::vector<triAccel>& moved = frames[f];
        const std::string where = std::string(GetParam().name) + " frame " + std::to_string(f);
        ASSERT_TRUE(tree.refit(moved.data(), unsigned(moved.size()), 1 + 3 * f)) << where;
        const zrv::scenes::Bounds b = valid_bounds(moved);
        float lo[3], hi[3], centre[3], extent = 0.0f;
        ASSERT_TRUE(tree.bounds(lo, hi));
        for (int a = 0; a < 3; ++a) {
            EXPECT_EQ(lo[a], b.min[a]) << where;
            EXPECT_EQ(hi[a], b.max[a]) << where;
            centre[a] = 0.5f * (lo[a] + hi[a]);
            extent = std::fmax(extent, hi[a] - lo[a]);
        }
        WideRays rays = scattered_rays(moved, 1500, 31 + f);
        append(rays, least_distance_rays(moved, 300, 33 + f));
        append(rays, camera_batch_rays(b, 3.0f * extent, 35 + f));
        // The degenerate scene's slivers are hit from afar past the widening's
        // reach (gfxRTWideBVH.h), by new builds as well.
        const bool slivers = std::string(GetParam().name) == "degenerate";
        const WideRays far =
            aimed_rays(moved, slivers ? 0 : 1500, 37 + f, 30.0f * extent, true, centre);
        for (unsigned int i = 0; i < far.size(); ++i)
            if (steep(moved, &far.origins[3 * i], &far.directions[3 * i], 10.0))
                rays.add(&far.origins[3 * i], &far.directions[3 * i], far.limits[i]);
        std::vector<RayPacket> packets = incoherent_packets(b, 300, 39 + f);
        append(packets, camera_packets(b, 16, 16, 0.7f));
        expect_wide_oracle(tree, moved, rays, packets, where);

        // A loaded tree refits as the tree that wrote it did.
        gfxRTWideBVH loaded;
        const Items items = streamed_items(tree);
        ReplayReader reader(items);
        ASSERT_TRUE(loaded.unstream(reader, items.size())) << where;
        ASSERT_TRUE(loaded.refit(tris.data(), unsigned(tris.size()), 1)) << where;
        EXPECT_EQ(saved(loaded), built) << where;
    }
}

INSTANTIATE_TEST_SUITE_P(Scenes, WideBVHRefit, ::testing::ValuesIn(ORACLE_SCENES), SceneName());

// Each refusal leaves the tree as it was.
TEST(WideBVHRefitRefusals, RecordsTheTreeCannotFitLeaveItAsItWas) {
    zrv::scenes::Mesh mesh;
    mesh.append(zrv::scenes::uv_sphere({0, 0, 0}, 1.0f, 16, 8));
    std::vector<triAccel> tris = mesh.finalize();
    tris[5].vertex1[2] = std::numeric_limits<float>::quiet_NaN(); // left out by the build
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 1));
    const std::string built = saved(tree);
    const unsigned int n = unsigned(tris.size());

    EXPECT_FALSE(tree.refit(tris.data(), n - 1, 1));
    EXPECT_FALSE(tree.refit(nullptr, n, 1));
    std::vector<triAccel> changed = tris;
    changed[9].vertex2[0] = std::numeric_limits<float>::infinity();
    EXPECT_FALSE(tree.refit(changed.data(), n, 1)) << "a held triangle not finite";
    changed = tris;
    for (int a = 0; a < 3; ++a)
        changed[9].vertex2[a] = changed[9].vertex0[a];
    EXPECT_FALSE(tree.refit(changed.data(), n, 1)) << "a held triangle of no area";
    changed = tris;
    changed[5].vertex1[2] = changed[5].vertex0[2] + 0.5f;
    EXPECT_FALSE(tree.refit(changed.data(), n, 1)) << "a triangle left out now valid";
    EXPECT_EQ(saved(tree), built);

    // A triangle left out stays out when it changes and stays invalid.
    changed = tris;
    changed[5].vertex0[0] = std::numeric_limits<float>::infinity();
    changed[7].vertex0[0] += 0.25f;
    zrv::scenes::compute_normal(changed[7]);
    ASSERT_TRUE(tree.refit(changed.data(), n, 1));
    EXPECT_EQ(tree.statistics().triangles, n - 1);
    expect_wide_oracle(tree, changed, scattered_rays(changed, 400, 41), {}, "one moved");

    // Trees that hold nothing: all records invalid, or none at all.
    std::vector<triAccel> flat(3, tris[0]);
    for (triAccel& t : flat)
        for (int a = 0; a < 3; ++a)
            t.vertex1[a] = t.vertex2[a] = t.vertex0[a];
    ASSERT_TRUE(tree.build(flat.data(), 3, 1));
    EXPECT_TRUE(tree.refit(flat.data(), 3, 1));
    EXPECT_FALSE(tree.refit(tris.data(), 3, 1)) << "valid triangles the empty tree cannot hold";
    EXPECT_TRUE(tree.empty());
    gfxRTWideBVH none;
    EXPECT_TRUE(none.refit(nullptr, 0, 1));
    EXPECT_FALSE(none.refit(tris.data(), 1, 1));
}

} // namespace
