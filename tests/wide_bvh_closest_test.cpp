// Closest points on the wide BVH against a float64 brute force over every
// triangle, and the pseudo-normals' inside and outside.
#include "AllocationFaults.h"
#include "WideOracle.h"
#include "WideOracleCheck.h"

#include "gfxRTPseudoNormals.h"
#include "gfxRTWideBVH.h"
#include "zrvScenes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace {

using zrv::scenes::Vec3;

struct D3 {
    double x, y, z;
    D3 operator-(D3 b) const { return D3{x - b.x, y - b.y, z - b.z}; }
    D3 operator+(D3 b) const { return D3{x + b.x, y + b.y, z + b.z}; }
    friend D3 operator*(double s, D3 a) { return D3{s * a.x, s * a.y, s * a.z}; }
    friend double dot(D3 a, D3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
    friend D3 cross(D3 a, D3 b) {
        return D3{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
    }
};
D3 of(const float* v) {
    return D3{v[0], v[1], v[2]};
}

// Distance from p to the triangle, minimising over the face's plane
// projection when inside and over the three edges otherwise (independent of
// the region test under check).
double distance_to(const triAccel& t, D3 p) {
    const D3 v[3] = {of(t.vertex0), of(t.vertex1), of(t.vertex2)};
    const D3 n = cross(v[1] - v[0], v[2] - v[0]);
    bool inside = true;
    for (int k = 0; k < 3; ++k)
        inside = inside && dot(cross(v[(k + 1) % 3] - v[k], p - v[k]), n) >= 0.0;
    if (inside)
        return std::fabs(dot(p - v[0], n)) / std::sqrt(dot(n, n));
    double best = std::numeric_limits<double>::infinity();
    for (int k = 0; k < 3; ++k) {
        const D3 e = v[(k + 1) % 3] - v[k];
        const double s = std::min(1.0, std::max(0.0, dot(p - v[k], e) / dot(e, e)));
        const D3 d = p - (v[k] + s * e);
        best = std::min(best, std::sqrt(dot(d, d)));
    }
    return best;
}

struct Reference {
    double distance, runner_up; // the best and the next best triangle's
    int index;
};

Reference brute_force(const std::vector<triAccel>& tris, const float* point) {
    Reference r{std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(),
                -1};
    for (std::size_t i = 0; i < tris.size(); ++i) {
        if (!oracle_triangle_is_valid(tris[i]))
            continue;
        const double d = distance_to(tris[i], of(point));
        if (d < r.distance) {
            r.runner_up = r.distance;
            r.distance = d;
            r.index = int(i);
        } else if (d < r.runner_up) {
            r.runner_up = d;
        }
    }
    return r;
}

std::string bits(const gfxRTWideClosestPoint& c) {
    std::string text(sizeof c, '\0');
    std::memcpy(&text[0], &c, sizeof c);
    return text;
}

// Points near the surface (on faces, pushed off by up to a tenth of the
// scene), at vertices, scattered through and far beyond the scene's box.
std::vector<float> query_points(const std::vector<triAccel>& tris, int count, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f), signed_unit(-1.0f, 1.0f);
    std::uniform_int_distribution<std::size_t> pick(0, tris.size() - 1);
    const zrv::scenes::Bounds box = zrv::scenes::scene_bounds(tris);
    float size = 0.0f;
    for (int a = 0; a < 3; ++a)
        size = std::max(size, box.max[a] - box.min[a]);
    std::vector<float> points;
    for (int i = 0; i < count; ++i) {
        std::size_t k = pick(rng);
        while (!oracle_triangle_is_valid(tris[k]))
            k = pick(rng);
        const triAccel& t = tris[k];
        float p[3];
        for (int a = 0; a < 3; ++a) {
            const float mid = 0.5f * (box.min[a] + box.max[a]);
            if (i % 4 == 0) {
                const float u = unit(rng), v = unit(rng) * (1.0f - u);
                p[a] = t.vertex0[a] + u * (t.vertex1[a] - t.vertex0[a]) +
                       v * (t.vertex2[a] - t.vertex0[a]) + 0.1f * size * signed_unit(rng);
            } else {
                p[a] = i % 4 == 1 ? t.vertex1[a]
                                  : mid + (i % 4 == 2 ? 0.6f : 10.0f) * size * signed_unit(rng);
            }
        }
        points.insert(points.end(), p, p + 3);
    }
    return points;
}

// Every kernel version, closest_point and closest_batch on 1 and 3 threads
// give the same bits; those answers (kept in answers if given) agree with
// the brute force.
void expect_closest_oracle(const std::vector<triAccel>& tris, const std::vector<float>& points,
                           bool distinct_faces = true,
                           std::vector<gfxRTWideClosestPoint>* answers = nullptr) {
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 2));
    const unsigned int n = unsigned(points.size() / 3);
    std::vector<gfxRTWideClosestPoint> first;
    for_each_kernel_level([&](const std::string& level) {
        for (unsigned int threads : {0u, 1u, 3u}) {
            std::vector<gfxRTWideClosestPoint> got(n);
            if (threads == 0) {
                for (unsigned int i = 0; i < n; ++i)
                    EXPECT_TRUE(tree.closest_point(&points[3 * i], 1e30f, got[i]));
            } else {
                tree.closest_batch(points.data(), nullptr, n, got.data(), threads);
            }
            if (first.empty())
                first = got;
            for (unsigned int i = 0; i < n; ++i)
                ASSERT_EQ(bits(got[i]), bits(first[i]))
                    << "point " << i << level << ", threads " << threads;
        }
    });
    if (answers)
        *answers = first;

    int checked_index = 0;
    double scene_magnitude = 0.0;
    for (const triAccel& t : tris)
        for (int a = 0; a < 3; ++a)
            if (std::isfinite(t.vertex0[a]))
                scene_magnitude = std::max(scene_magnitude, std::fabs(double(t.vertex0[a])));
    for (unsigned int i = 0; i < n; ++i) {
        const float* p = &points[3 * i];
        const gfxRTWideClosestPoint& c = first[i];
        const Reference r = brute_force(tris, p);
        ASSERT_GE(c.index, 0);
        // float rounds the coordinates as well as the distance.
        double magnitude = scene_magnitude;
        for (int a = 0; a < 3; ++a)
            magnitude = std::max(magnitude, std::fabs(double(p[a])));
        const double scale = r.distance + 0.1 * magnitude;
        ASSERT_NEAR(c.distance, r.distance, 1e-5 * scale) << "point " << i;
        if (r.runner_up - r.distance > 1e-4 * scale) {
            EXPECT_EQ(c.index, r.index) << "point " << i;
            ++checked_index;
        }
        // The point lies on the reported triangle, where u and v say, at the
        // reported distance.
        const triAccel& t = tris[std::size_t(c.index)];
        const D3 q = of(c.point);
        const D3 at = (1.0 - c.u - c.v) * of(t.vertex0) + double(c.u) * of(t.vertex1) +
                      double(c.v) * of(t.vertex2);
        EXPECT_LT(std::sqrt(dot(q - at, q - at)), 1e-5 * scale) << "point " << i;
        EXPECT_LT(distance_to(t, q), 1e-5 * scale);
        EXPECT_NEAR(std::sqrt(dot(of(p) - q, of(p) - q)), c.distance, 1e-5 * scale);
    }
    // Points nearest to a vertex or an edge tie between faces.
    if (distinct_faces) {
        EXPECT_GT(checked_index, int(n) / 5);
    }
}

std::vector<triAccel> blob() {
    return zrv::scenes::organic_blob(Vec3{0.5f, -0.25f, 1.0f}, 2.0f, 3, 7);
}

TEST(WideBVHClosest, ClosedBlobAndOpenSheetMatchBruteForce) {
    const std::vector<triAccel> scenes[] = {
        blob(), zrv::scenes::fractal_terrain(Vec3{0, 0, 0}, 6.0f, 1.0f, 24, 3)};
    for (unsigned int k = 0; k < 2; ++k)
        expect_closest_oracle(scenes[k], query_points(scenes[k], 1200, k + 1));
}

// Every face twice: the copy ties with its original everywhere and never
// wins, since the original has the lower position.
TEST(WideBVHClosest, CoincidentFacesTakeTheLowerPosition) {
    std::vector<triAccel> tris = zrv::scenes::uv_sphere(Vec3{0, 0, 0}, 1.0f, 24, 12);
    const std::size_t n = tris.size();
    tris.insert(tris.end(), tris.begin(), tris.end());
    std::reverse(tris.begin(), tris.begin() + n); // the originals' positions not in tree order
    std::vector<gfxRTWideClosestPoint> got;
    expect_closest_oracle(tris, query_points(tris, 600, 3), false, &got);
    for (const gfxRTWideClosestPoint& c : got)
        EXPECT_LT(c.index, int(n));
}

// One triangle in a hundred made NaN, a point or collinear: never a candidate.
TEST(WideBVHClosest, UnusableTrianglesAreNeverFound) {
    std::vector<triAccel> tris = blob();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (std::size_t i = 0; i < tris.size(); i += 100) {
        triAccel& t = tris[i];
        if (i % 300 == 0)
            t.vertex1[1] = nan;
        else if (i % 300 == 100)
            for (int a = 0; a < 3; ++a)
                t.vertex1[a] = t.vertex2[a] = t.vertex0[a];
        else
            for (int a = 0; a < 3; ++a)
                t.vertex2[a] = 2.0f * t.vertex1[a] - t.vertex0[a];
    }
    expect_closest_oracle(tris, query_points(tris, 800, 4));
}

// Limits, unusable points and an empty tree.
TEST(WideBVHClosest, LimitsAndNothingFound) {
    const std::vector<triAccel> tris = blob();
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 1));
    const std::vector<float> points = query_points(tris, 200, 5);
    const unsigned int n = unsigned(points.size() / 3);
    std::vector<gfxRTWideClosestPoint> free(n), limited(n);
    tree.closest_batch(points.data(), nullptr, n, free.data(), 1);
    std::vector<float> limits(n);
    for (unsigned int i = 0; i < n; ++i)
        limits[i] = i % 2 ? free[i].distance * 1.001f + 1e-6f : free[i].distance * 0.999f;
    tree.closest_batch(points.data(), limits.data(), n, limited.data(), 2);
    for (unsigned int i = 0; i < n; ++i) {
        if (i % 2) {
            EXPECT_EQ(bits(limited[i]), bits(free[i])) << i;
        } else {
            EXPECT_EQ(limited[i].index, -1) << i;
            EXPECT_EQ(limited[i].distance, limits[i]);
        }
    }
    const float inf = std::numeric_limits<float>::infinity();
    const float unusable[3][3] = {{std::nanf(""), 0, 0}, {0, inf, 0}, {0, 0, -inf}};
    gfxRTWideClosestPoint c;
    for (const float* p : unusable) {
        EXPECT_FALSE(tree.closest_point(p, inf, c));
        EXPECT_EQ(c.index, -1);
        EXPECT_EQ(c.distance, inf);
    }
    const float origin[3] = {0, 0, 0};
    EXPECT_FALSE(tree.closest_point(origin, 0.0f, c));
    EXPECT_FALSE(tree.closest_point(origin, -1.0f, c));
    gfxRTWideBVH empty;
    ASSERT_TRUE(empty.build(nullptr, 0, 1));
    EXPECT_FALSE(empty.closest_point(origin, inf, c));
    EXPECT_EQ(c.index, -1);
}

// A tree larger than the caches, whose batches search four points
// interleaved: they give closest_point's answers, limits included.
TEST(WideBVHClosest, InterleavedBatchesEqualOnePointAtATime) {
    const std::vector<triAccel> tris = zrv::scenes::benchmark_mesh(300000);
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 2));
    ASSERT_GT(tree.memory_bytes(), std::size_t(16) << 20);
    const std::vector<float> points = query_points(tris, 3001, 6);
    const unsigned int n = unsigned(points.size() / 3);
    std::vector<float> limits(n);
    for (unsigned int i = 0; i < n; ++i)
        limits[i] = i % 3 == 0 ? std::numeric_limits<float>::infinity() : 0.05f * float(i % 7);
    limits[5] = std::nanf("");
    std::vector<gfxRTWideClosestPoint> expected(n), got(n);
    for (unsigned int i = 0; i < n; ++i)
        tree.closest_point(&points[3 * i], limits[i], expected[i]);
    for (unsigned int threads : {1u, 2u}) {
        tree.closest_batch(points.data(), limits.data(), n, got.data(), threads);
        for (unsigned int i = 0; i < n; ++i)
            ASSERT_EQ(bits(got[i]), bits(expected[i])) << "point " << i << ", " << threads;
    }
    int found = 0;
    for (const gfxRTWideClosestPoint& c : expected)
        found += c.index >= 0;
    EXPECT_GT(found, int(n) / 2);
    EXPECT_LT(found, int(n));
    tree.closest_batch(points.data(), nullptr, n, got.data(), 2);
    for (unsigned int i = 0; i < n; i += 3)
        ASSERT_EQ(bits(got[i]), bits(expected[i])) << "unlimited point " << i;
}

// A flat grid of whole coordinates, where every step is exact: points at
// vertices, on edges and in faces, on and above the sheet and beyond its
// border, get the exact distance and the feature they lie on.
TEST(WideBVHClosest, FeaturesOfExactPoints) {
    const std::vector<triAccel> tris = zrv::scenes::ground_grid(Vec3{0, 0, 0}, 8.0f, 8);
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 1));
    struct Case {
        float p[3];
        float distance;
        int kind; // 0 face, 1 edge, 2 vertex
    };
    const Case cases[] = {
        {{1, 0, 2}, 0, 2},
        {{1, 3, 2}, 3, 2},
        {{-4, 0, -4}, 0, 2},
        {{-5, 0, -4}, 1, 2},
        {{1.5f, 0, 2}, 0, 1},
        {{1, 0, 2.5f}, 0, 1},
        {{1.5f, 2, 2}, 2, 1},
        {{4, 0, 0.5f}, 0, 1},
        {{6, 0, 0.5f}, 2, 1},
        {{1.25f, 0, 2.5f}, 0, 0},
        {{1.75f, 0.5f, 2.5f}, 0.5f, 0},
        {{-3.5f, -2, 3.25f}, 2, 0},
    };
    for (const Case& k : cases) {
        gfxRTWideClosestPoint c;
        ASSERT_TRUE(tree.closest_point(k.p, std::numeric_limits<float>::infinity(), c));
        const std::string at = std::to_string(k.p[0]) + " " + std::to_string(k.p[2]);
        EXPECT_NEAR(c.distance, k.distance, 1e-6f) << at;
        const triAccel& t = tris[std::size_t(c.index)];
        const float* v[3] = {t.vertex0, t.vertex1, t.vertex2};
        if (k.kind == 2) {
            ASSERT_GE(c.feature, GFX_WIDE_FEATURE_VERTEX0) << at;
            const float* corner = v[c.feature - GFX_WIDE_FEATURE_VERTEX0];
            EXPECT_TRUE(std::memcmp(c.point, corner, sizeof c.point) == 0) << at;
            EXPECT_EQ(c.u, c.feature == GFX_WIDE_FEATURE_VERTEX1 ? 1.0f : 0.0f);
            EXPECT_EQ(c.v, c.feature == GFX_WIDE_FEATURE_VERTEX2 ? 1.0f : 0.0f);
        } else if (k.kind == 1) {
            ASSERT_TRUE(c.feature >= GFX_WIDE_FEATURE_EDGE01 &&
                        c.feature <= GFX_WIDE_FEATURE_EDGE20)
                << at << " feature " << c.feature;
            // The point lies on the named edge: exactly halfway along for
            // these cases, and with the third vertex's weight 0.
            const int from = c.feature - GFX_WIDE_FEATURE_EDGE01, to = (from + 1) % 3;
            for (int a = 0; a < 3; ++a)
                EXPECT_NEAR(c.point[a], 0.5f * (v[from][a] + v[to][a]), 1e-6f) << at;
            const float weights[3] = {1.0f - c.u - c.v, c.u, c.v};
            EXPECT_NEAR(weights[3 - from - to], 0.0f, 1e-6f) << at;
        } else {
            EXPECT_EQ(c.feature, GFX_WIDE_FEATURE_FACE) << at;
            EXPECT_GT(std::min(c.u, c.v), 0.0f);
            EXPECT_GT(1.0f - c.u - c.v, 0.0f);
        }
    }
}

// Which side of a closed mesh each point lies on, by a double ray parity.
bool inside_by_parity(const std::vector<triAccel>& tris, D3 p) {
    const D3 d{0.5773, 0.5774, 0.5775};
    int crossings = 0;
    for (const triAccel& t : tris) {
        const D3 a = of(t.vertex0), b = of(t.vertex1), c = of(t.vertex2);
        const D3 e1 = b - a, e2 = c - a, h = cross(d, e2);
        const double det = dot(e1, h);
        if (det == 0.0)
            continue;
        const D3 s = p - a;
        const double u = dot(s, h) / det;
        const D3 q = cross(s, e1);
        const double v = dot(d, q) / det;
        if (u >= 0 && v >= 0 && u + v <= 1 && dot(e2, q) / det > 0)
            ++crossings;
    }
    return crossings % 2 == 1;
}

// Points a little off the faces, edges and vertices of a closed blob, on
// both sides, and scattered ones: the sign of side() is the parity's.
TEST(PseudoNormals, SidesOfAClosedMesh) {
    const std::vector<triAccel> tris = blob();
    gfxRTWideBVH tree;
    gfxRTPseudoNormals normals;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 1));
    ASSERT_TRUE(normals.build(tris.data(), unsigned(tris.size())));
    EXPECT_TRUE(normals.closed());
    std::mt19937 rng(9);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<std::size_t> pick(0, tris.size() - 1);
    int wrong = 0, inside = 0;
    for (int i = 0; i < 3000; ++i) {
        const triAccel& t = tris[pick(rng)];
        const D3 a = of(t.vertex0), b = of(t.vertex1), c = of(t.vertex2);
        const D3 n = cross(b - a, c - a);
        const double length = std::sqrt(dot(n, n));
        // On the face, on edge 01 or at vertex 2, pushed off along the normal
        // by 1e-3 or 1e-5 either way plus a little sideways; or anywhere.
        const double u = unit(rng), v = unit(rng) * (1 - u);
        D3 base = i % 3 == 0 ? a + u * (b - a) + v * (c - a) : i % 3 == 1 ? a + u * (b - a) : c;
        const double offset = (i % 2 ? 1e-3 : 1e-5) * (unit(rng) < 0.5 ? -1 : 1);
        D3 p = base + (offset / length) * n +
               0.3 * std::fabs(offset) * D3{unit(rng), unit(rng), unit(rng)};
        if (i % 7 == 0)
            p = D3{unit(rng) * 5 - 2, unit(rng) * 5 - 2.5, unit(rng) * 5 - 1.5};
        const float pf[3] = {float(p.x), float(p.y), float(p.z)};
        gfxRTWideClosestPoint closest;
        ASSERT_TRUE(tree.closest_point(pf, std::numeric_limits<float>::infinity(), closest));
        const bool expect_inside = inside_by_parity(tris, of(pf));
        inside += expect_inside;
        const float s = normals.side(closest, pf);
        if ((s < 0) != expect_inside || s == 0) {
            ADD_FAILURE() << "point " << i << " side " << s << " feature " << closest.feature;
            if (++wrong > 5)
                break;
        }
    }
    EXPECT_GT(inside, 1000);
}

// The sphere, with a degenerate record (which takes no part), one face
// left out, one face flipped, one face doubled flipped; and no faces.
TEST(PseudoNormals, ClosedOnlyForWatertightConsistentMeshes) {
    const std::vector<triAccel> sphere = zrv::scenes::uv_sphere(Vec3{0, 0, 0}, 1.0f, 12, 6);
    std::vector<triAccel> with_point = sphere, flipped = sphere, doubled = sphere;
    with_point.push_back(sphere[0]);
    std::memcpy(with_point.back().vertex1, with_point.back().vertex0, sizeof(float) * 3);
    std::memcpy(with_point.back().vertex2, with_point.back().vertex0, sizeof(float) * 3);
    const std::vector<triAccel> open(sphere.begin() + 1, sphere.end());
    std::swap_ranges(flipped[3].vertex1, flipped[3].vertex1 + 3, flipped[3].vertex2);
    doubled.push_back(sphere[5]);
    std::swap_ranges(doubled.back().vertex1, doubled.back().vertex1 + 3, doubled.back().vertex2);
    const std::pair<const std::vector<triAccel>*, bool> cases[] = {
        {&sphere, true},   {&with_point, true}, {&open, false},
        {&flipped, false}, {&doubled, false},   {nullptr, false}};
    gfxRTPseudoNormals normals;
    for (const auto& c : cases) {
        ASSERT_TRUE(c.first ? normals.build(c.first->data(), unsigned(c.first->size()))
                            : normals.build(nullptr, 0));
        EXPECT_EQ(normals.closed(), c.second) << (&c - cases);
        if (c.first == &with_point) {
            gfxRTWideClosestPoint none{
                {0, 0, 0}, 0, 0, 0, int(sphere.size()), GFX_WIDE_FEATURE_FACE};
            const float p[3] = {5, 5, 5};
            EXPECT_EQ(normals.side(none, p), 0.0f);
        }
    }
    EXPECT_FALSE(normals.build(nullptr, 3));
}

// Each allocation of a build failing in turn: the build says so and leaves
// nothing, whatever was built before.
TEST(PseudoNormals, FailedAllocationsLeaveNothing) {
    const std::vector<triAccel> sphere = zrv::scenes::uv_sphere(Vec3{0, 0, 0}, 1.0f, 12, 6);
    const gfxRTWideClosestPoint on_face{{0, 0, 0}, 0, 0.2f, 0.2f, 0, GFX_WIDE_FEATURE_FACE};
    const float p[3] = {2, 2, 2};
    int failed = 0;
    for (int skip = 0; skip < 16; ++skip) {
        gfxRTPseudoNormals normals;
        ASSERT_TRUE(normals.build(sphere.data(), unsigned(sphere.size())));
        bool built;
        int injected;
        {
            AllocationFaultRule rule;
            rule.skip = skip;
            AllocationFaults faults(rule);
            built = normals.build(sphere.data(), unsigned(sphere.size()));
            injected = faults.injected();
        }
        if (injected == 0) {
            EXPECT_TRUE(built && normals.closed());
            break;
        }
        ++failed;
        EXPECT_FALSE(built);
        EXPECT_FALSE(normals.closed());
        EXPECT_EQ(normals.side(on_face, p), 0.0f);
    }
    EXPECT_GE(failed, 7); // the record, normals, faces, corners, vertices, sums, edges
}

} // namespace
