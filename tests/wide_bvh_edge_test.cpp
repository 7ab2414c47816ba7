// The wide BVH where trees usually fail: rays along shared edges, through
// shared vertices, in the planes of axis-aligned faces and from box faces; a
// floor at a grazing angle; bad triangles; empty and tiny trees; failed
// allocations.
#include "AllocationFaults.h"
#include "WideOracle.h"
#include "WideOracleCheck.h"

#include "gfxRTWideBVH.h"
#include "zrvSceneMesh.h"
#include "zrvSceneShapes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

namespace {

using zrv::scenes::Vec3;

const float kInfinity = std::numeric_limits<float>::infinity();

// The packets whose every lane is steep.
std::vector<RayPacket> steep_packets(const std::vector<triAccel>& tris,
                                     const std::vector<RayPacket>& packets, double degrees = 3.0) {
    std::vector<RayPacket> kept;
    for (const RayPacket& p : packets) {
        bool all_steep = true;
        for (int lane = 0; lane < 4; ++lane) {
            const float o[3] = {p.origin.x[lane], p.origin.y[lane], p.origin.z[lane]};
            const float d[3] = {p.direction.x[lane], p.direction.y[lane], p.direction.z[lane]};
            all_steep = all_steep && steep(tris, o, d, degrees);
        }
        if (all_steep)
            kept.push_back(p);
    }
    return kept;
}

TEST(WideBVHEdges, AdversarialRaysEqualTheBruteForce) {
    zrv::scenes::Mesh mesh;
    mesh.append(zrv::scenes::box_grid({-1, -1, -1}, 4, 4, 4, 0.5f, 0.5f));
    mesh.append(zrv::scenes::ground_grid({0, -1.0f, 0}, 3.0f, 12));
    mesh.append(zrv::scenes::uv_sphere({0.2f, 0.1f, 0.3f}, 0.7f, 24, 12));
    std::vector<triAccel> tris = mesh.finalize();
    mix_triangle_flags(tris);
    const WideRays rays = adversarial_rays(tris, 700, 3);
    for (unsigned int threads : {1u, 2u}) {
        gfxRTWideBVH tree;
        ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), threads));
        // Runs of camera packets whose first has nothing to trace, first so
        // that they stay runs of four.
        WideRays some;
        for (unsigned int i = 0; i < rays.size(); i += 8)
            some.add(&rays.origins[3 * i], &rays.directions[3 * i], rays.limits[i]);
        std::vector<RayPacket> packets = idle_leads(narrow_packets(some, 8));
        append(packets, packets_of(rays));
        append(packets, narrow_packets(rays, 4));
        // Lanes of one direction close enough to be tested as one beam.
        append(packets, beam_packets(rays, 0.002f, 5));
        expect_wide_oracle(tree, tris, rays, packets, "adversarial");
    }
}

// Hits about the least distance the kernel accepts, where the box tests
// start their entries: none closer may be found, none farther lost. Large
// triangles (a floor of two) put vertices far from the rays' origins, which
// the kernel's t rounds with.
TEST(WideBVHEdges, HitsAtTheLeastDistanceEqualTheBruteForce) {
    zrv::scenes::Mesh mesh;
    mesh.append(zrv::scenes::box_grid({-1, -1, -1}, 4, 4, 4, 0.5f, 0.5f));
    mesh.append(zrv::scenes::ground_grid({0, -1.0f, 0}, 3.0f, 12));
    mesh.append(zrv::scenes::ground_grid({0, -1.5f, 0}, 40.0f, 1));
    mesh.append(zrv::scenes::uv_sphere({0.2f, 0.1f, 0.3f}, 0.7f, 24, 12));
    std::vector<triAccel> tris = mesh.finalize();
    mix_triangle_flags(tris);
    const WideRays rays = least_distance_rays(tris, 4000, 11);
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 2));
    std::vector<RayPacket> packets = packets_of(rays);
    append(packets, parallel_packets(rays));
    append(packets, beam_packets(rays, 0.002f, 12));
    expect_wide_oracle(tree, tris, rays, packets, "least distance");
}

// A tessellated floor seen from just above it: every camera ray that crosses
// the floor's plane well inside the floor must hit it, since the kernel
// itself is watertight along shared edges.
TEST(WideBVHEdges, GrazingFloorHasNoCrack) {
    const std::vector<triAccel> tris = zrv::scenes::ground_grid({0, 0, 0}, 20.0f, 100);
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 1));
    const int width = 640, height = 480;
    // On a grid vertex: the column with no x direction runs along a line of
    // shared edges, the one with equal x and z along the quads' diagonals.
    const float eye[3] = {0.0f, 0.02f, -9.6f};
    int inside = 0, cracks = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const float d[3] = {4.0f * float(x - width / 2) / width,
                                -0.003f - 0.03f * (y + 0.5f) / height, 1.0f};
            const float t = -eye[1] / d[1];
            const float px = eye[0] + t * d[0], pz = eye[2] + t * d[2];
            if (!(std::fabs(px) < 9.9f && std::fabs(pz) < 9.9f))
                continue;
            ++inside;
            gfxRTWideHit hit;
            if (!tree.intersect1(eye, d, kInfinity, hit))
                ++cracks;
        }
    }
    EXPECT_GT(inside, 50000);
    EXPECT_EQ(cracks, 0);
}

// Rays from far away (up to seventeen times the scene's size), aimed at
// edges: the kernel's sign tests round by an amount that grows with the
// square of the distance, and the box tests widen with it. Rays and packets
// that are not steep are left out. A sphere's thin triangles at its poles
// give the tree children of varied slops; a torus's even triangles, one
// slop for every box (gfxRTWideUniformSlop.h).
TEST(WideBVHEdges, EdgesSeenFromFarAwayEqualTheBruteForce) {
    zrv::scenes::Mesh sphere, torus;
    sphere.append(zrv::scenes::uv_sphere({0, 0, 0}, 1.0f, 120, 60));
    torus.append(zrv::scenes::torus({0, 0, 0}, 1.0f, 0.4f, 120, 48));
    for (zrv::scenes::Mesh* mesh : {&sphere, &torus}) {
        mesh->append(zrv::scenes::ground_grid({0, -1.0f, 0}, 3.0f, 60));
        const std::vector<triAccel> tris = mesh->finalize();
        gfxRTWideBVH tree;
        ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 1));
        const WideRays aimed = aimed_rays(tris, 1600, 3, 30.0f, true);
        WideRays rays;
        for (unsigned int i = 0; i < aimed.size(); ++i)
            if (steep(tris, &aimed.origins[3 * i], &aimed.directions[3 * i]))
                rays.add(&aimed.origins[3 * i], &aimed.directions[3 * i], kInfinity);
        std::vector<RayPacket> packets = steep_packets(tris, narrow_packets(rays, 5));
        EXPECT_GT(rays.size(), 1500u);
        EXPECT_GT(packets.size(), 2900u);
        append(packets, steep_packets(tris, beam_packets(rays, 0.002f, 6)));
        expect_wide_oracle(tree, tris, rays, packets, mesh == &sphere ? "sphere" : "torus");
    }
}

// Edges of small triangles (a small sphere on a large floor) seen from
// within a few diagonals of the scene, along every direction, as single
// rays, packets of four of them (their lanes traced alone) and camera
// packets around each: the widening of rays from nearby shrinks with their
// products of two large coordinates relative to their origin, and the
// kernel's rounding still reaches a good part of these triangles. So small
// a triangle seen from so far may be hit well outside it by rays within
// a few degrees of its plane, the exception gfxRTWideBVH.h documents, which
// the rays here stay clear of.
TEST(WideBVHEdges, EdgesOfSmallTrianglesSeenFromNearbyEqualTheBruteForce) {
    zrv::scenes::Mesh mesh;
    mesh.append(zrv::scenes::uv_sphere({0.3f, -0.9f, 0.2f}, 0.05f, 120, 60));
    mesh.append(zrv::scenes::ground_grid({0, -1.0f, 0}, 3.0f, 4));
    const std::vector<triAccel> tris = mesh.finalize();
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 1));
    const WideRays aimed = aimed_rays(tris, 4000, 9, 8.0f, true);
    WideRays rays;
    for (unsigned int i = 0; i < aimed.size(); ++i)
        if (steep(tris, &aimed.origins[3 * i], &aimed.directions[3 * i], 10.0))
            rays.add(&aimed.origins[3 * i], &aimed.directions[3 * i], kInfinity);
    std::vector<RayPacket> packets = packets_of(rays);
    append(packets, steep_packets(tris, narrow_packets(rays, 10), 10.0));
    EXPECT_GT(rays.size(), 3300u);
    EXPECT_GT(packets.size(), 13000u);
    expect_wide_oracle(tree, tris, rays, packets, "small triangles nearby");
}

// The same edges from inside a scene that reaches far beyond them: the
// rounding widening of a node comes from the farthest distance between the
// rays' origins and its own corners, not the scene's.
TEST(WideBVHEdges, EdgesSeenFromInsideALargeSceneEqualTheBruteForce) {
    zrv::scenes::Mesh mesh;
    mesh.append(zrv::scenes::uv_sphere({0, 0, 0}, 1.0f, 120, 60));
    mesh.append(zrv::scenes::ground_grid({0, -40.0f, 0}, 80.0f, 1));
    mesh.append(zrv::scenes::ground_grid({0, 40.0f, 0}, 80.0f, 1));
    std::vector<triAccel> tris = mesh.finalize();
    // Every other triangle casts shadows, so that an edge often has a caster
    // on one side only, and occlusion misses a culled one.
    for (std::size_t i = 0; i < tris.size(); ++i)
        tris[i].casts_shadow = i % 2 == 0 ? 1 : 0;
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 1));
    const WideRays rays = aimed_rays(tris, 2000, 4, 30.0f, true);
    std::vector<RayPacket> packets = narrow_packets(rays, 6);
    append(packets, parallel_packets(rays));
    // Lanes moved off an edge-aimed ray may graze the sphere's silhouette.
    append(packets, steep_packets(tris, beam_packets(rays, 0.03f, 7)));
    expect_wide_oracle(tree, tris, rays, packets, "inside a large scene");
}

// Slivers in a plane x = c, their long edge on the line z = c there and
// their third vertex just off it, hit by rays that cross that line beyond
// a sharp tip: the long edge's volume cancels to exactly zero (the ray's x
// and z parts are equal), which the kernel takes as inside, and the edge
// across the tip, at a small angle to the line, is on the wrong side only
// by what its rounding can hide. The kernel then hits the sliver up to
// about that rounding over the sliver's least altitude past its tip, and no
// box may cull the hit. Corners from 1e-5 to 1 radian, rays from up to 50
// away, about ten times the scene's size.
TEST(WideBVHEdges, SliverTipsOnTheLineOfAnEdgeEqualTheBruteForce) {
    std::mt19937 rng(37);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const auto exp10 = [&](float lo, float hi) {
        return std::pow(10.0f, lo + (hi - lo) * unit(rng));
    };
    std::vector<triAccel> tris = zrv::scenes::ground_grid({0, -3.0f, 0}, 6.0f, 8);
    WideRays rays;
    for (int i = 0; i < 600; ++i) {
        const float c = 2.0f * unit(rng) - 1.0f, ty = 2.0f * unit(rng) - 1.0f;
        const float length = exp10(-2.0f, 0.0f), along = length * (0.2f + 0.6f * unit(rng));
        // At least 1e-5 wide, so that it stays a triangle in floats.
        const float angle = exp10(std::log10(1e-5f / along), 0.0f);
        zrv::scenes::Mesh sliver;
        sliver.add_triangle({c, ty, c}, {c, ty + length, c}, {c, ty + along, c - along * angle});
        tris.push_back(sliver.finalize()[0]);
        for (int k = 0; k < 15; ++k) {
            // From (c + a, ty + b, c + a) to (c, ty - beyond, c): past the
            // tip at (c, ty, c), or (beyond negative) along the long edge
            // and past its far end.
            const float a = exp10(-1.0f, 1.7f), b = 2.0f * a * (unit(rng) - 0.5f);
            const float beyond = length * exp10(-9.0f, 1.0f) * (k % 3 == 0 ? -1.0f : 1.0f);
            const float scale = exp10(-1.0f, 1.0f);
            const float o[3] = {c + a, ty + b, c + a};
            const float d[3] = {-a * scale, -(b + beyond) * scale, -a * scale};
            rays.add(o, d, kInfinity);
        }
    }
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 1));
    expect_wide_oracle(tree, tris, rays, narrow_packets(rays, 7), "sliver tips");
}

// Lanes whose origins differ only in the sign of a zero are not one origin:
// a vertex coordinate of -0 less a +0 or a -0 gives zeros of either sign,
// and on a ray through an edge's line the sign of a zero volume decides the
// hit. Triangles of whole coordinates where the kernel hits from one origin
// and misses from the other; packets of both origins, as camera packets (one
// direction) and as occlusion samples (directions apart).
TEST(WideBVHEdges, OriginsDifferingInTheSignOfAZeroEqualTheBruteForce) {
    std::mt19937 rng(41);
    const float coordinates[] = {-1.0f, -0.0f, 0.0f, 1.0f, 2.0f};
    const auto pick = [&] { return coordinates[rng() % 5]; };
    int cases = 0;
    for (int attempt = 0; attempt < 200000 && cases < 12; ++attempt) {
        zrv::scenes::Mesh mesh;
        mesh.add_triangle({pick(), pick(), pick()}, {pick(), pick(), pick()},
                          {pick(), pick(), pick()});
        const std::vector<triAccel> tris = mesh.finalize();
        if (tris.empty() || !oracle_triangle_is_valid(tris[0]))
            continue;
        float o[2][3], d[3];
        for (int a = 0; a < 3; ++a) {
            o[0][a] = rng() % 2 ? 0.0f : -0.0f;
            o[1][a] = rng() % 2 ? 0.0f : -0.0f;
            d[a] = pick() + (rng() % 3 == 0 ? 0.5f : 0.0f);
        }
        if (oracle_nearest(tris, o[0], d, kInfinity).index ==
            oracle_nearest(tris, o[1], d, kInfinity).index)
            continue;
        ++cases;
        WideRays rays;
        rays.add(o[0], d, kInfinity);
        rays.add(o[1], d, kInfinity);
        RayPacket camera = broadcast(o[0], d);
        camera.origin = {_mm_setr_ps(o[0][0], o[1][0], o[0][0], o[1][0]),
                         _mm_setr_ps(o[0][1], o[1][1], o[0][1], o[1][1]),
                         _mm_setr_ps(o[0][2], o[1][2], o[0][2], o[1][2])};
        RayPacket apart = camera;
        apart.direction = {_mm_setr_ps(d[0], d[0], -d[0], d[1]),
                           _mm_setr_ps(d[1], d[1], -d[1], d[2]),
                           _mm_setr_ps(d[2], d[2], -d[2], d[0])};
        gfxRTWideBVH tree;
        ASSERT_TRUE(tree.build(tris.data(), 1, 1));
        expect_wide_oracle(tree, tris, rays, {camera, apart}, "signed zero origins");
    }
    EXPECT_EQ(cases, 12);
}

// Bad triangles (1% each: a NaN coordinate, an infinite one, zero area)
// are left out, never hit and leave the others' hits exact. The mesh is
// large enough for the build to gather it in several parts, which close up
// the gaps the bad triangles leave.
TEST(WideBVHEdges, BadTrianglesAreNeverHit) {
    std::vector<triAccel> tris = zrv::scenes::uv_sphere({0, 0, 0}, 1.0f, 200, 100);
    const std::size_t n = tris.size();
    std::mt19937 rng(9);
    std::uniform_int_distribution<std::size_t> pick(0, n - 1);
    unsigned int bad = 0;
    for (std::size_t i = 0; i < n / 100; ++i) {
        triAccel& nan_tri = tris[pick(rng)];
        nan_tri.vertex1[i % 3] = std::numeric_limits<float>::quiet_NaN();
        triAccel& inf_tri = tris[pick(rng)];
        (i % 2 ? inf_tri.vertex2 : inf_tri.normal)[i % 3] = i % 4 ? kInfinity : -kInfinity;
        triAccel& flat = tris[pick(rng)];
        for (int a = 0; a < 3; ++a) // collinear, or two vertices the same
            flat.vertex2[a] = i % 2 ? flat.vertex0[a] : 2 * flat.vertex1[a] - flat.vertex0[a];
    }
    for (const triAccel& t : tris)
        bad += oracle_triangle_is_valid(t) ? 0 : 1;
    ASSERT_GT(bad, n / 40);

    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(n), 2));
    EXPECT_EQ(tree.statistics().triangles, n - bad);
    EXPECT_EQ(tree.statistics().input_triangles, n);
    // The box of the kept triangles alone.
    float want_lo[3] = {kInfinity, kInfinity, kInfinity};
    float want_hi[3] = {-kInfinity, -kInfinity, -kInfinity};
    for (const triAccel& t : tris)
        if (oracle_triangle_is_valid(t))
            for (const float* v : {t.vertex0, t.vertex1, t.vertex2})
                for (int a = 0; a < 3; ++a) {
                    want_lo[a] = std::min(want_lo[a], v[a]);
                    want_hi[a] = std::max(want_hi[a], v[a]);
                }
    float lo[3], hi[3];
    ASSERT_TRUE(tree.bounds(lo, hi));
    for (int a = 0; a < 3; ++a) {
        EXPECT_EQ(lo[a], want_lo[a]);
        EXPECT_EQ(hi[a], want_hi[a]);
    }
    const WideRays rays = aimed_rays(tris, 1500, 9, 1.5f);
    expect_wide_oracle(tree, tris, rays, packets_of(rays), "bad triangles");
}

// An empty tree: every query a miss, as the brute force over no triangle.
void expect_empty(const gfxRTWideBVH& tree) {
    EXPECT_TRUE(tree.empty());
    EXPECT_EQ(tree.memory_bytes(), 0u);
    float lo[3] = {7, 7, 7}, hi[3] = {7, 7, 7};
    EXPECT_FALSE(tree.bounds(lo, hi));
    EXPECT_EQ(lo[0] + lo[1] + lo[2] + hi[0] + hi[1] + hi[2], 42.0f);
    const float o[3] = {0, 0, -3}, d[3] = {0, 0, 1}, e[3] = {0.1f, 0.2f, 1};
    WideRays rays;
    for (int k = 0; k < 4; ++k)
        rays.add(o, k % 2 ? d : e, k < 2 ? kInfinity : 5.0f);
    expect_wide_oracle(tree, {}, rays, packets_of(rays), "empty");
}

TEST(WideBVHEdges, EmptyAndTinyTrees) {
    gfxRTWideBVH tree;
    expect_empty(tree);
    ASSERT_TRUE(tree.build(nullptr, 0, 1));
    expect_empty(tree);
    EXPECT_FALSE(tree.build(nullptr, 3, 1));
    expect_empty(tree);
    const std::vector<triAccel> sphere = zrv::scenes::uv_sphere({0, 0, 0}, 1.0f, 8, 4);
    EXPECT_FALSE(tree.build(sphere.data(), gfxRTWideBVH::MAX_TRIANGLES + 1, 1));
    expect_empty(tree);

    // Batches with a missing array do nothing.
    const float o[3] = {0, 0, -3}, d[3] = {0, 0, 1};
    float t = 7;
    int index = 7;
    unsigned char occluded = 7;
    tree.intersect_batch(nullptr, d, nullptr, 1, &t, &index, nullptr, nullptr, 1);
    tree.intersect_batch(o, nullptr, nullptr, 1, &t, &index, nullptr, nullptr, 1);
    tree.intersect_batch(o, d, nullptr, 1, nullptr, &index, nullptr, nullptr, 1);
    tree.intersect_batch(o, d, nullptr, 1, &t, nullptr, nullptr, nullptr, 1);
    tree.occluded_batch(nullptr, d, nullptr, 1, &occluded, 1);
    tree.occluded_batch(o, nullptr, nullptr, 1, &occluded, 1);
    tree.occluded_batch(o, d, nullptr, 1, nullptr, 1);
    EXPECT_EQ(t, 7.0f);
    EXPECT_EQ(index, 7);
    EXPECT_EQ(occluded, 7);

    // Only bad triangles: an empty tree.
    std::vector<triAccel> flat(3, sphere[0]);
    for (triAccel& t : flat)
        for (int a = 0; a < 3; ++a)
            t.vertex2[a] = t.vertex1[a];
    ASSERT_TRUE(tree.build(flat.data(), 3, 2));
    expect_empty(tree);
    EXPECT_EQ(tree.statistics().input_triangles, 3u);

    // One to five triangles, one node.
    for (unsigned int n = 1; n <= 5; ++n) {
        const std::vector<triAccel> few(sphere.begin() + 10, sphere.begin() + 10 + n);
        ASSERT_TRUE(tree.build(few.data(), n, 2));
        const gfxRTWideBVHStatistics s = tree.statistics();
        EXPECT_EQ(s.nodes, 1u);
        EXPECT_EQ(s.blocks, (n + 3) / 4);
        EXPECT_EQ(s.depth, 1u);
        if (n <= 4) { // one block: a leaf is never worth splitting
            EXPECT_EQ(s.leaves, 1u);
        }
        const WideRays rays = aimed_rays(few, 400, n, 0.1f);
        expect_wide_oracle(tree, few, rays, packets_of(rays), std::to_string(n) + " triangles");
    }
}

// Stacks of parallel triangles in shuffled positions, so that a leaf's
// block often holds a triangle ahead of a farther one of lower position,
// seen from origins that differ only in the signs of their zeros: such
// packets' lanes are not one origin to the leaf kernel, which then tests
// two triangles at a time for each lane, and the nearer must win whatever
// the order of their positions.
TEST(WideBVHEdges, StackedTrianglesInShuffledPositionsEqualTheBruteForce) {
    std::mt19937 rng(43);
    std::uniform_real_distribution<float> u(0.05f, 0.45f);
    zrv::scenes::Mesh mesh;
    for (int cell = 0; cell < 64; ++cell) {
        const float x = float(cell % 8) - 4.0f, y = float(cell / 8) - 4.0f;
        for (int layer = 0; layer < 6; ++layer) {
            const float z = 1.0f + 0.01f * float(layer);
            mesh.add_triangle({x, y, z}, {x + 0.9f, y, z}, {x, y + 0.9f, z});
        }
    }
    std::vector<triAccel> tris = mesh.finalize();
    std::shuffle(tris.begin(), tris.end(), rng);
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 1));
    // Towards a point of a random triangle from 0 or -0 along each axis.
    const auto zero = [&] { return rng() % 2 ? 0.0f : -0.0f; };
    const auto target = [&](float* d) {
        const triAccel& t = tris[rng() % tris.size()];
        const float a = u(rng), b = u(rng);
        for (int k = 0; k < 3; ++k)
            d[k] = t.vertex0[k] + a * (t.vertex1[k] - t.vertex0[k]) +
                   b * (t.vertex2[k] - t.vertex0[k]);
    };
    WideRays rays;
    std::vector<RayPacket> packets;
    for (int i = 0; i < 400; ++i) {
        float o[4][3], d[4][3];
        for (int lane = 0; lane < 4; ++lane) {
            for (int k = 0; k < 3; ++k)
                o[lane][k] = zero();
            target(d[lane]);
            rays.add(o[lane], d[lane], kInfinity);
        }
        RayPacket apart = broadcast(o[0], d[0]);
        apart.origin = {_mm_setr_ps(o[0][0], o[1][0], o[2][0], o[3][0]),
                        _mm_setr_ps(o[0][1], o[1][1], o[2][1], o[3][1]),
                        _mm_setr_ps(o[0][2], o[1][2], o[2][2], o[3][2])};
        apart.direction = {_mm_setr_ps(d[0][0], d[1][0], d[2][0], d[3][0]),
                           _mm_setr_ps(d[0][1], d[1][1], d[2][1], d[3][1]),
                           _mm_setr_ps(d[0][2], d[1][2], d[2][2], d[3][2])};
        RayPacket camera = apart;
        camera.direction = broadcast(o[0], d[0]).direction;
        packets.push_back(camera);
        packets.push_back(apart);
    }
    expect_wide_oracle(tree, tris, rays, packets, "stacked");
}

// Forty copies of one triangle among others: ranges whose centroids all
// coincide are halved, and every ray through the copies gets the first one.
TEST(WideBVHEdges, CoincidentTrianglesGoToTheLowestPosition) {
    std::vector<triAccel> tris = zrv::scenes::uv_sphere({0, 0, 0}, 1.0f, 12, 6);
    const std::size_t first_copy = tris.size() / 2;
    tris.insert(tris.begin() + std::ptrdiff_t(first_copy), 39, tris[first_copy]);
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 1));
    const WideRays rays = aimed_rays({tris[first_copy]}, 400, 5, 0.1f);
    expect_wide_oracle(tree, tris, rays, packets_of(rays), "coincident");
}

// Each allocation of a build failed in turn: the build says so and leaves an
// empty tree, or (a task that could not be made) builds the same tree.
TEST(WideBVHEdges, FailedAllocationsLeaveAnEmptyTree) {
    const std::vector<triAccel> tris =
        zrv::scenes::torus_knot({0, 0, 0}, 1.0f, 0.2f, 3, 5, 200, 48);
    gfxRTWideBVH reference;
    ASSERT_TRUE(reference.build(tris.data(), unsigned(tris.size()), 2));
    const gfxRTWideBVHStatistics expected = reference.statistics();
    int failed_builds = 0;
    for (int skip = 0; skip < 512; ++skip) {
        gfxRTWideBVH tree;
        bool built = false;
        int injected = 0;
        {
            AllocationFaultRule rule;
            rule.skip = skip;
            AllocationFaults faults(rule);
            built = tree.build(tris.data(), unsigned(tris.size()), 2);
            injected = faults.injected();
        }
        if (injected == 0)
            break;
        if (!built) {
            ++failed_builds;
            expect_empty(tree);
            continue;
        }
        const gfxRTWideBVHStatistics s = tree.statistics();
        EXPECT_EQ(s.nodes, expected.nodes);
        EXPECT_EQ(s.blocks, expected.blocks);
        EXPECT_EQ(s.bytes, expected.bytes);
    }
    EXPECT_GE(failed_builds, 5); // ids, records, binary nodes, nodes, blocks
}

} // namespace
