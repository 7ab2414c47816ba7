// Procedural scenes: exact counts, host-style records, the degenerate cases
// the oracle suites rely on, and bit-exact determinism. The shapes' geometry
// is seen end to end by zrv's rendering tests.
#include "zrvScenes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

using namespace zrv::scenes;

struct D3 {
    double x, y, z;
};
D3 sub(const float* a, const float* b) {
    return {double(a[0]) - b[0], double(a[1]) - b[1], double(a[2]) - b[2]};
}
double dot(const D3& a, const D3& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
D3 cross(const D3& a, const D3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double length(const D3& a) {
    return std::sqrt(dot(a, a));
}
D3 normal_of(const triAccel& t) {
    return {t.normal[0], t.normal[1], t.normal[2]};
}
D3 centroid(const triAccel& t) {
    return {(double(t.vertex0[0]) + t.vertex1[0] + t.vertex2[0]) / 3,
            (double(t.vertex0[1]) + t.vertex1[1] + t.vertex2[1]) / 3,
            (double(t.vertex0[2]) + t.vertex1[2] + t.vertex2[2]) / 3};
}
D3 winding_normal(const triAccel& t) {
    return cross(sub(t.vertex1, t.vertex0), sub(t.vertex2, t.vertex0));
}

// The record fields a host fills, and a unit normal perpendicular to every
// edge (zero only for zero-area triangles) that agrees with the winding.
void expect_host_records(const std::vector<triAccel>& triangles) {
    for (std::size_t i = 0; i < triangles.size(); ++i) {
        const triAccel& t = triangles[i];
        ASSERT_EQ(int(i), t.triangle_id);
        ASSERT_EQ(0, t.backface_early_out);
        ASSERT_EQ(1, t.casts_shadow);
        ASSERT_EQ(0u, t.host_word);
        const D3 n = normal_of(t);
        const D3 w = winding_normal(t);
        if (length(w) == 0.0) {
            ASSERT_EQ(0.0, length(n)) << "triangle " << i;
            continue;
        }
        ASSERT_NEAR(1.0, length(n), 1e-6) << "triangle " << i;
        ASSERT_GT(dot(n, w), 0.0) << "triangle " << i;
        const D3 edges[3] = {sub(t.vertex1, t.vertex0), sub(t.vertex2, t.vertex1),
                             sub(t.vertex0, t.vertex2)};
        for (const D3& e : edges)
            ASSERT_LE(std::fabs(dot(n, e)), 1e-5 * length(e) + 1e-12) << "triangle " << i;
    }
}

// Every front side ((v1 - v0) x (v2 - v0)) faces away from the point that
// surface_point_to_inside returns for the triangle's centroid.
template <typename InsideOf>
void expect_facing_out(const std::vector<triAccel>& triangles, InsideOf inside_of) {
    for (std::size_t i = 0; i < triangles.size(); ++i) {
        const D3 c = centroid(triangles[i]);
        const D3 inside = inside_of(c);
        const D3 outward{c.x - inside.x, c.y - inside.y, c.z - inside.z};
        ASSERT_GT(dot(winding_normal(triangles[i]), outward), 0.0) << "triangle " << i;
    }
}

bool bytewise_equal(const std::vector<triAccel>& a, const std::vector<triAccel>& b) {
    return a.size() == b.size() &&
           std::memcmp(a.data(), b.data(), a.size() * sizeof(triAccel)) == 0;
}

TEST(Scenes, TriangleCountsFollowTheParameters) {
    EXPECT_EQ(2u * 16 * 9, uv_sphere({0, 0, 0}, 1, 16, 10).size());
    EXPECT_EQ(2u * 3 * 1, uv_sphere({0, 0, 0}, 1, 3, 2).size());
    EXPECT_EQ(2u * 3 * 1, uv_sphere({0, 0, 0}, 1, 0, 0).size()); // clamped to the minimum
    EXPECT_EQ(2u * 24 * 12, torus({0, 0, 0}, 2, 0.5f, 24, 12).size());
    EXPECT_EQ(2u * 300 * 16, torus_knot({0, 0, 0}, 1, 0.1f, 2, 3, 300, 16).size());
    EXPECT_EQ(2u * 7 * 7, ground_grid({0, 0, 0}, 10, 7).size());
    EXPECT_EQ(2u * 33 * 33, fractal_terrain({0, 0, 0}, 10, 2, 33, 9).size());
    EXPECT_EQ(12u * 3 * 4 * 5, box_grid({0, 0, 0}, 3, 4, 5, 1, 1.5f).size());
    EXPECT_EQ(777u, random_triangle_soup(777, Bounds{{0, 0, 0}, {1, 1, 1}}, 0.1f, 3).size());
    EXPECT_EQ(10u * 13, degenerate_scene(13, 4).size());
    EXPECT_EQ(10000u, benchmark_mesh(10000).size());
    EXPECT_EQ(2u * 633 * 79, benchmark_mesh(100000).size());
    EXPECT_EQ(1000000u, benchmark_mesh(1000000).size());
    EXPECT_EQ(80000u + 131072u + 800000u + 64764u + 432u, default_scene().size());
}

TEST(Scenes, RecordsAreFilledAsAHostWould) {
    expect_host_records(uv_sphere({1, 2, 3}, 2, 12, 7));
    expect_host_records(torus({0, 1, 0}, 3, 1, 16, 8));
    expect_host_records(torus_knot({0, 0, 0}, 2, 0.3f, 3, 5, 200, 12));
    expect_host_records(ground_grid({0, -1, 0}, 8, 5));
    expect_host_records(fractal_terrain({0, 0, 0}, 8, 2, 20, 5));
    expect_host_records(box_grid({-1, -1, -1}, 2, 2, 2, 0.5f, 0.5f));
    expect_host_records(random_triangle_soup(500, Bounds{{-1, -1, -1}, {1, 1, 1}}, 0.5f, 8));
    expect_host_records(degenerate_scene(20, 6));
}

TEST(Scenes, EqualArgumentsGiveBitIdenticalLists) {
    EXPECT_TRUE(bytewise_equal(default_scene(), default_scene()));
    EXPECT_TRUE(bytewise_equal(degenerate_scene(50, 1), degenerate_scene(50, 1)));
    const Bounds box{{0, 0, 0}, {4, 4, 4}};
    EXPECT_TRUE(
        bytewise_equal(random_triangle_soup(300, box, 1, 5), random_triangle_soup(300, box, 1, 5)));
    EXPECT_FALSE(
        bytewise_equal(random_triangle_soup(300, box, 1, 5), random_triangle_soup(300, box, 1, 6)));
    EXPECT_FALSE(bytewise_equal(fractal_terrain({0, 0, 0}, 8, 2, 16, 1),
                                fractal_terrain({0, 0, 0}, 8, 2, 16, 2)));
}

TEST(Scenes, DegenerateGroupsHoldEachCase) {
    const auto scene = degenerate_scene(30, 11);
    for (std::size_t g = 0; g < scene.size(); g += DEGENERATE_GROUP_SIZE) {
        const triAccel* t = &scene[g];
        auto area = [](const triAccel& tri) { return length(winding_normal(tri)); };
        auto same_vertices = [](const triAccel& a, const triAccel& b) {
            return std::memcmp(a.vertex0, b.vertex0, 36) == 0;
        };
        EXPECT_GT(area(t[0]), 0.5);
        EXPECT_EQ(0.0, area(t[1]));
        EXPECT_EQ(0, std::memcmp(t[1].vertex0, t[1].vertex1, 12));
        EXPECT_EQ(0, std::memcmp(t[1].vertex1, t[1].vertex2, 12));
        EXPECT_EQ(0, std::memcmp(t[2].vertex0, t[2].vertex1, 12));
        EXPECT_EQ(0, std::memcmp(t[3].vertex1, t[3].vertex2, 12));
        EXPECT_EQ(0.0, area(t[4])); // collinear, exactly
        EXPECT_NE(0, std::memcmp(t[4].vertex0, t[4].vertex1, 12));
        EXPECT_TRUE(same_vertices(t[0], t[5]));
        EXPECT_EQ(0, std::memcmp(t[6].vertex2, t[0].vertex0, 12)); // rotated copy
        EXPECT_EQ(0, std::memcmp(t[6].vertex0, t[0].vertex1, 12));
        EXPECT_EQ(t[7].vertex0[2], t[7].vertex1[2]);
        EXPECT_EQ(t[7].vertex1[2], t[7].vertex2[2]);
        EXPECT_GT(area(t[8]), 0.0);
        EXPECT_LT(area(t[8]), 1e-4);
        EXPECT_GT(area(t[9]), 0.5);
    }
}

TEST(Scenes, MeshAppendsTransformedCopiesWithFreshIds) {
    const auto unit = box_grid({0, 0, 0}, 1, 1, 1, 1, 1);
    std::vector<triAccel> flagged = unit;
    flagged[3].casts_shadow = 0;
    flagged[3].host_word = 99;

    Mesh mesh;
    mesh.append(unit);
    mesh.append(flagged, then(Transform::scaling(2), Transform::translation({10, 0, 0})));
    // A mirror keeps the front sides outside.
    mesh.append(unit, Transform::scaling({-1, 1, 1}));
    mesh.add_triangle({0, 0, 0}, {1, 0, 0}, {0, 1, 0});
    ASSERT_EQ(37u, mesh.size());
    const std::vector<triAccel> all = mesh.finalize();
    EXPECT_EQ(0u, mesh.size());
    ASSERT_EQ(37u, all.size());
    for (std::size_t i = 0; i < all.size(); ++i)
        EXPECT_EQ(int(i), all[i].triangle_id);

    EXPECT_EQ(0, std::memcmp(&unit[5], &all[5], sizeof(triAccel)));
    EXPECT_EQ(0, all[12 + 3].casts_shadow);
    EXPECT_EQ(99u, all[12 + 3].host_word);
    const Bounds moved = scene_bounds(all.data() + 12, 12);
    EXPECT_EQ(10.0f, moved.min[0]);
    EXPECT_EQ(12.0f, moved.max[0]);
    EXPECT_EQ(2.0f, moved.max[2]);
    std::vector<triAccel> mirrored(all.begin() + 24, all.begin() + 36);
    expect_facing_out(mirrored, [](const D3&) { return D3{-0.5, 0.5, 0.5}; });
    EXPECT_EQ(1.0f, all[36].normal[2]);

    const Bounds empty = scene_bounds(nullptr, 0);
    EXPECT_GT(empty.min[0], empty.max[0]);
}

} // namespace
