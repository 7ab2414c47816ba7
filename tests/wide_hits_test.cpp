// Every-hit counts and lists of the wide BVH and the wide scene against a
// brute force over every triangle with the library's kernel: counts, and
// each entry's ray, t, u, v, triangle and instance bits in order, for every
// kernel version and on one and four threads.
#include "AllocationFaults.h"
#include "OracleScenes.h"
#include "WideOracle.h"
#include "WideOracleCheck.h"
#include "WideSceneOracle.h"

#include "gfxRTWideBVH.h"
#include "gfxRTWideScene.h"
#include "zrvSceneMesh.h"
#include "zrvSceneShapes.h"
#include "zrvScenes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

const float kInfinity = std::numeric_limits<float>::infinity();

struct Hit {
    unsigned int ray;
    float t, u, v;
    int index, instance;
};
static_assert(sizeof(Hit) == 24, "hits are compared as bytes");

std::string hit_text(const Hit& h) {
    return "ray " + std::to_string(h.ray) + " " + hit_bits(gfxRTWideHit{h.t, h.u, h.v, h.index}) +
           " instance " + std::to_string(h.instance);
}

// Every kept triangle gfxRT_ray_triangle_intersect accepts on the ray, the
// ray in all four lanes.
void oracle_hits(const std::vector<triAccel>& tris, const float* o, const float* d, float limit,
                 unsigned int ray, int instance, std::vector<Hit>& out) {
    if (!traceable(o, d))
        return;
    const RayPacket p = broadcast(o, d);
    for (std::size_t i = 0; i < tris.size(); ++i) {
        if (!oracle_triangle_is_valid(tris[i]))
            continue;
        HitPacket h{_mm_set1_ps(limit), _mm_setzero_ps(), _mm_setzero_ps(), _mm_set1_epi32(-1)};
        gfxRT_ray_triangle_intersect(tris[i], p, 1, RenderState{0, 0}, h);
        if (_mm_cvtsi128_si32(h.id) != -1)
            out.push_back(Hit{ray, _mm_cvtss_f32(h.t), _mm_cvtss_f32(h.u), _mm_cvtss_f32(h.v),
                              int(i), instance});
    }
}

// In ray order, nearest first, then by instance and position.
void sort_hits(std::vector<Hit>& hits) {
    std::sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) {
        return std::tie(a.ray, a.t, a.instance, a.index) <
               std::tie(b.ray, b.t, b.instance, b.index);
    });
}

std::vector<Hit> tree_oracle(const std::vector<triAccel>& tris, const WideRays& rays) {
    std::vector<Hit> hits;
    for (unsigned int i = 0; i < rays.size(); ++i)
        oracle_hits(tris, &rays.origins[3 * i], &rays.directions[3 * i], rays.limits[i], i, -1,
                    hits);
    sort_hits(hits);
    return hits;
}

// Each instance in turn, the world ray carried into it by carry_ray.
std::vector<Hit> scene_oracle(const SceneLayout& layout, const WideRays& rays) {
    std::vector<Hit> hits;
    for (unsigned int i = 0; i < rays.size(); ++i)
        for (std::size_t k = 0; k < layout.instances.size(); ++k) {
            float o[3], d[3];
            carry_into(layout, k, &rays.origins[3 * i], &rays.directions[3 * i], o, d);
            oracle_hits(placed_mesh(layout, k), o, d, rays.limits[i], i, int(k), hits);
        }
    sort_hits(hits);
    return hits;
}

std::vector<std::string> texts(const std::vector<Hit>& hits) {
    std::vector<std::string> out;
    for (const Hit& h : hits)
        out.push_back(hit_text(h));
    return out;
}

std::vector<Hit> entries_of(const gfxRTWideHitList& list) {
    std::vector<Hit> hits;
    for (std::size_t k = 0; k < list.count; ++k)
        hits.push_back(
            {list.ray[k], list.t[k], list.u[k], list.v[k], list.index[k], list.instance[k]});
    return hits;
}

// got against want bit for bit; their texts only to report a difference, as
// lists run to hundreds of thousands of hits.
void expect_hits(const std::vector<Hit>& got, const std::vector<Hit>& want,
                 const std::string& what) {
    const auto same_bits = [](const Hit& a, const Hit& b) {
        return std::memcmp(&a, &b, sizeof a) == 0;
    };
    if (got.size() != want.size() || !std::equal(got.begin(), got.end(), want.begin(), same_bits))
        expect_texts(texts(got), texts(want), what);
}

std::vector<std::string> count_texts(const std::vector<unsigned int>& counts) {
    std::vector<std::string> out;
    for (unsigned int c : counts)
        out.push_back(std::to_string(c) + " hits");
    return out;
}

// count_batch and list_batch of a tree or a scene against the expected hits,
// under every kernel version, on one and four threads.
template <typename Structure>
void expect_every_hit(const Structure& structure, const WideRays& rays,
                      const std::vector<Hit>& expected, const std::string& where) {
    const unsigned int n = rays.size();
    std::vector<unsigned int> expected_counts(n, 0);
    for (const Hit& h : expected)
        ++expected_counts[h.ray];
    for_each_kernel_level([&](const std::string& level) {
        for (unsigned int threads : {1u, 4u}) {
            const std::string at = where + level + ", " + std::to_string(threads) + " threads";
            std::vector<unsigned int> counts(n, 12345);
            structure.count_batch(rays.origins.data(), rays.directions.data(), rays.limits.data(),
                                  n, counts.data(), threads);
            if (counts != expected_counts)
                expect_texts(count_texts(counts), count_texts(expected_counts), at + ", counts");
            gfxRTWideHitList list;
            ASSERT_TRUE(structure.list_batch(rays.origins.data(), rays.directions.data(),
                                             rays.limits.data(), n, list, threads));
            expect_hits(entries_of(list), expected, at + ", list");
            gfxRTWideHitListRelease(list);
        }
    });
}

class WideHitsOracle : public ::testing::TestWithParam<OracleScene> {};

TEST_P(WideHitsOracle, CountsAndListsEqualTheBruteForce) {
    std::vector<triAccel> tris = GetParam().make();
    mix_triangle_flags(tris);
    WideRays rays = scattered_rays(tris, 1200, 31);
    append(rays, adversarial_rays(tris, 120, 32));
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 2));
    expect_every_hit(tree, rays, tree_oracle(tris, rays), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Scenes, WideHitsOracle, ::testing::ValuesIn(ORACLE_SCENES), SceneName());

// A mesh dense with shared edges and vertices, and more rays than one chunk
// of a batch, so that four workers list chunks out of order.
TEST(WideHits, ManyChunksOfAdversarialRaysEqualTheBruteForce) {
    zrv::scenes::Mesh mesh;
    mesh.append(zrv::scenes::box_grid({-1, -1, -1}, 3, 3, 3, 0.5f, 0.5f));
    mesh.append(zrv::scenes::ground_grid({0, -1.0f, 0}, 3.0f, 8));
    mesh.append(zrv::scenes::uv_sphere({0.2f, 0.1f, 0.3f}, 0.7f, 16, 8));
    std::vector<triAccel> tris = mesh.finalize();
    mix_triangle_flags(tris);
    WideRays rays = adversarial_rays(tris, 1700, 41);
    append(rays, scattered_rays(tris, 3000, 42));
    ASSERT_GT(rays.size(), 2 * 4096u);
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 1));
    expect_every_hit(tree, rays, tree_oracle(tris, rays), "grids and sphere");
}

TEST(WideHits, InstancedScenesEqualTheBruteForce) {
    for (unsigned int seed : {5u, 6u}) {
        SceneLayout layout = random_instanced_scene(seed);
        if (seed == 6) // disabled instances count no hits
            for (std::size_t k = 1; k < layout.instances.size(); k += 3)
                layout.instances[k].enabled = false;
        gfxRTWideScene scene;
        build_scene(layout, scene, 2);
        const WideRays rays = scene_rays(layout, 1500, seed + 100);
        expect_every_hit(scene, rays, scene_oracle(layout, rays), "scene " + std::to_string(seed));
    }
}

// n x n unit squares in z = 0, each split along its diagonal into two
// triangles wound counter-clockwise seen from +z (their front).
std::vector<triAccel> flat_grid(int n) {
    zrv::scenes::Mesh mesh;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const zrv::scenes::Vec3 a{float(i), float(j), 0}, b{float(i + 1), float(j), 0},
                c{float(i + 1), float(j + 1), 0}, d{float(i), float(j + 1), 0};
            mesh.add_triangle(a, b, c);
            mesh.add_triangle(a, c, d);
        }
    return mesh.finalize();
}

// Where a ray meets an edge or a vertex exactly, a signed volume is exactly
// zero, and the kernel takes +0 as a front side: such a ray counts every
// triangle sharing the point from their front and none from their back.
// Where rounding leaves the volumes non-zero, two triangles sharing an edge
// take a ray through it exactly once between them.
TEST(WideHits, RaysThroughSharedEdgesAndVerticesCountAsTheKernelDecides) {
    const std::vector<triAccel> tris = flat_grid(4);
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 1));
    // The vertex (2, 2) is shared by six triangles, the edge through
    // (2.5, 2) by two; then oblique rays through the diagonal edge's
    // midpoint (2.5, 2.5), from either side, and through a face.
    const float eye[3] = {-5.1f, 9.3f, 4.2f};
    const float to_edge[3] = {2.5f - eye[0], 2.5f - eye[1], -eye[2]};
    const struct {
        float o[3], d[3];
        unsigned int count;
    } cases[] = {
        {{2, 2, 3}, {0, 0, -1}, 6},
        {{2, 2, -3}, {0, 0, 1}, 0},
        {{2.5f, 2, 3}, {0, 0, -1}, 2},
        {{2.5f, 2, -3}, {0, 0, 1}, 0},
        {{eye[0], eye[1], eye[2]}, {to_edge[0], to_edge[1], to_edge[2]}, 1},
        {{2.5f + to_edge[0], 2.5f + to_edge[1], -eye[2]},
         {-to_edge[0], -to_edge[1], -to_edge[2]},
         1},
        {{eye[0], eye[1], eye[2]}, {2.3f - eye[0], 2.6f - eye[1], -eye[2]}, 1},
    };
    for (const auto& c : cases) {
        unsigned int count = 0;
        tree.count_batch(c.o, c.d, nullptr, 1, &count, 1);
        EXPECT_EQ(count, c.count) << c.o[0] << " " << c.o[1] << " " << c.o[2];
    }
}

TEST(WideHits, EmptyBatchesTreesAndScenesGiveNoHits) {
    const std::vector<triAccel> tris = flat_grid(2);
    gfxRTWideBVH tree, empty;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 1));
    const float o[3] = {0.5f, 0.3f, 1}, d[3] = {0, 0, -1};
    gfxRTWideHitList list;
    ASSERT_TRUE(tree.list_batch(o, d, nullptr, 1, list, 1));
    EXPECT_EQ(list.count, 1u);
    // A second call releases the first list; no rays give an empty one.
    ASSERT_TRUE(tree.list_batch(o, d, nullptr, 0, list, 1));
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(list.block, nullptr);
    ASSERT_TRUE(empty.list_batch(o, d, nullptr, 1, list, 4));
    EXPECT_EQ(list.count, 0u);
    unsigned int count = 7;
    empty.count_batch(o, d, nullptr, 1, &count, 1);
    EXPECT_EQ(count, 0u);
    gfxRTWideScene scene;
    ASSERT_TRUE(scene.commit(1));
    count = 7;
    scene.count_batch(o, d, nullptr, 1, &count, 1);
    EXPECT_EQ(count, 0u);
    ASSERT_TRUE(scene.list_batch(o, d, nullptr, 1, list, 1));
    EXPECT_EQ(list.count, 0u);
}

// Every allocation of a list in turn fails: the call returns false with an
// empty list, or, past the last allocation, lists every hit. Returns the
// failures.
int expect_failed_lists_empty(const gfxRTWideBVH& tree, const WideRays& rays,
                              const std::vector<Hit>& expected) {
    int failures = 0;
    for (int skip = 0;; ++skip) {
        gfxRTWideHitList list;
        bool listed;
        int injected;
        {
            AllocationFaultRule rule;
            rule.skip = skip;
            AllocationFaults faults(rule);
            listed = tree.list_batch(rays.origins.data(), rays.directions.data(),
                                     rays.limits.data(), rays.size(), list, 2);
            injected = faults.injected();
        }
        if (!listed) {
            EXPECT_GT(injected, 0) << "skip " << skip;
            ++failures;
            EXPECT_EQ(list.count, 0u);
            EXPECT_EQ(list.block, nullptr);
            continue;
        }
        expect_hits(entries_of(list), expected, "skip " + std::to_string(skip));
        gfxRTWideHitListRelease(list);
        if (injected == 0)
            return failures;
    }
}

TEST(WideHits, ListsThatRunOutOfMemoryAreEmpty) {
    // Forty grids stacked along z: every ray down crosses forty triangles,
    // so that the workers' buffers grow several times.
    const std::vector<triAccel> grid = flat_grid(4);
    std::vector<triAccel> tris;
    for (int layer = 0; layer < 40; ++layer)
        for (triAccel t : grid) {
            t.vertex0[2] = t.vertex1[2] = t.vertex2[2] = float(layer);
            tris.push_back(t);
        }
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 1));
    WideRays rays;
    for (int i = 0; i < 9000; ++i) {
        const float o[3] = {0.1f + 0.0004f * float(i), 0.3f + 0.0003f * float(i % 1000), 50.0f};
        const float d[3] = {0.001f, 0.002f, -1.0f};
        rays.add(o, d, kInfinity);
    }
    const std::vector<Hit> expected = tree_oracle(tris, rays);
    ASSERT_GT(expected.size(), 300000u);
    EXPECT_GT(expect_failed_lists_empty(tree, rays, expected), 4);
}

// A tree larger than the caches, whose batches trace four rays interleaved
// into one buffer and sort their hits back into ray order; lists that run
// out of memory there are empty too.
TEST(WideHits, InterleavedRaysOnALargeTreeEqualTheBruteForce) {
    std::vector<triAccel> tris = zrv::scenes::benchmark_mesh(300000);
    mix_triangle_flags(tris);
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 2));
    ASSERT_GT(tree.memory_bytes(), std::size_t(16) << 20);
    // Rays from around the box through a triangle's middle, a quarter of
    // them stopping just past it, cross the knot several times.
    const zrv::scenes::Bounds box = zrv::scenes::scene_bounds(tris);
    std::mt19937 rng(51);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::uniform_int_distribution<std::size_t> pick(0, tris.size() - 1);
    WideRays rays = adversarial_rays(tris, 24, 52);
    for (int i = 0; i < 240; ++i) {
        const triAccel& t = tris[pick(rng)];
        float o[3], d[3];
        for (int a = 0; a < 3; ++a) {
            const float half = 0.5f * (box.max[a] - box.min[a]);
            o[a] = 0.5f * (box.min[a] + box.max[a]) + 2.0f * half * u(rng);
            d[a] = (t.vertex0[a] + t.vertex1[a] + t.vertex2[a]) / 3.0f - o[a];
        }
        rays.add(o, d, i % 4 == 0 ? 1.01f : kInfinity);
    }
    const std::vector<Hit> expected = tree_oracle(tris, rays);
    ASSERT_GT(expected.size(), std::size_t(rays.size()));
    expect_every_hit(tree, rays, expected, "large tree");
    EXPECT_GT(expect_failed_lists_empty(tree, rays, expected), 1);
}

} // namespace
