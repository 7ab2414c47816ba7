// The wide BVH against a brute force over every triangle with the library's
// kernel: t, u, v and positions equal bit for bit, for every query, ray set,
// scene, build thread count and kernel version.
#include "KDTreeTestUtil.h"
#include "OracleRays.h"
#include "OracleScenes.h"
#include "WideOracleCheck.h"

#include "gfxRTWideBVH.h"
#include "zrvSceneMesh.h"
#include "zrvSceneShapes.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>

namespace {

// Scattered single rays (half aimed at triangles, some with zero direction
// components), a third unbounded and the others with limits.
WideRays scattered_rays(const std::vector<triAccel>& tris, int count, unsigned seed) {
    return lane_rays(random_single_lane_packets(tris, zrv::scenes::scene_bounds(tris), count, seed),
                     3.0f, seed);
}

class WideBVHOracle : public ::testing::TestWithParam<OracleScene> {};

TEST_P(WideBVHOracle, EveryQueryEqualsTheBruteForce) {
    std::vector<triAccel> tris = GetParam().make();
    mix_triangle_flags(tris);
    const zrv::scenes::Bounds b = zrv::scenes::scene_bounds(tris);
    const WideRays rays = scattered_rays(tris, 3000, 11);
    std::vector<RayPacket> packets = incoherent_packets(b, 600, 5);
    // Occlusion samples of one point: the lanes share an origin, not their
    // directions' signs.
    for (int i = 0; i < 300; ++i) {
        RayPacket p = packets[std::size_t(i)];
        p.origin.x = _mm_shuffle_ps(p.origin.x, p.origin.x, 0);
        p.origin.y = _mm_shuffle_ps(p.origin.y, p.origin.y, 0);
        p.origin.z = _mm_shuffle_ps(p.origin.z, p.origin.z, 0);
        packets.push_back(p);
    }
    const auto camera = camera_packets(b, 32, 32, 0.7f);
    packets.insert(packets.end(), camera.begin(), camera.end());
    const auto pairs = facing_pairs(scattered_rays(tris, 800, 12));
    packets.insert(packets.end(), pairs.begin(), pairs.end());
    for (unsigned int threads : {1u, 4u}) {
        gfxRTWideBVH tree;
        ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), threads));
        expect_wide_oracle(tree, tris, rays, packets,
                           std::string(GetParam().name) + " on " + std::to_string(threads));
    }
}

INSTANTIATE_TEST_SUITE_P(Scenes, WideBVHOracle, ::testing::ValuesIn(ORACLE_SCENES), SceneName());

} // namespace

namespace {

// A million rays through small scenes, checked four at a time: with no
// back-face early out set, the packet kernel's lanes are four independent
// single-ray brute forces.
TEST(WideBVHOracleMillion, BatchOfAMillionRaysEqualsTheBruteForce) {
    zrv::scenes::Mesh mesh;
    mesh.append(zrv::scenes::uv_sphere({0, 0, 0}, 1.0f, 12, 6));
    mesh.append(zrv::scenes::box_grid({-1, -1, -1}, 2, 2, 2, 0.5f, 1.0f));
    mesh.append(zrv::scenes::ground_grid({0, -1.0f, 0}, 3.0f, 6));
    const std::vector<triAccel> tris = mesh.finalize();
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 2));
    const unsigned int n = 1u << 20;
    const WideRays rays = scattered_rays(tris, int(n), 21);
    std::vector<float> t(n), u(n), v(n);
    std::vector<int> index(n);
    tree.intersect_batch(rays.origins.data(), rays.directions.data(), rays.limits.data(), n,
                         t.data(), index.data(), u.data(), v.data(), 2);
    const std::vector<RayPacket> packets = packets_of(rays);
    int wrong = 0;
    for (std::size_t p = 0; p < packets.size() && wrong < 5; ++p) {
        alignas(16) float limit[4];
        for (int k = 0; k < 4; ++k)
            limit[k] = rays.limits[4 * p + std::size_t(k)];
        HitPacket hits{_mm_load_ps(limit), _mm_setzero_ps(), _mm_setzero_ps(), _mm_set1_epi32(-1)};
        alignas(16) int best[4] = {-1, -1, -1, -1};
        for (std::size_t i = 0; i < tris.size(); ++i) {
            alignas(16) float before[4], after[4];
            _mm_store_ps(before, hits.t);
            gfxRT_ray_triangle_intersect(tris[i], packets[p], 15, RenderState{0, 0}, hits);
            _mm_store_ps(after, hits.t);
            for (int k = 0; k < 4; ++k)
                if (after[k] < before[k])
                    best[k] = int(i);
        }
        alignas(16) float bt[4], bu[4], bv[4];
        _mm_store_ps(bt, hits.t);
        _mm_store_ps(bu, hits.u);
        _mm_store_ps(bv, hits.v);
        for (int k = 0; k < 4; ++k) {
            const std::size_t i = 4 * p + std::size_t(k);
            const bool traceable = rays.directions[3 * i] != 0.0f ||
                                   rays.directions[3 * i + 1] != 0.0f ||
                                   rays.directions[3 * i + 2] != 0.0f;
            const gfxRTWideHit want = best[k] >= 0 && traceable
                                          ? gfxRTWideHit{bt[k], bu[k], bv[k], best[k]}
                                          : gfxRTWideHit{limit[k], 0.0f, 0.0f, -1};
            const gfxRTWideHit got{t[i], u[i], v[i], index[i]};
            if (hit_bits(got) != hit_bits(want)) {
                ADD_FAILURE() << "ray " << i << ": " << hit_bits(got) << " expected "
                              << hit_bits(want);
                ++wrong;
            }
        }
    }
}

} // namespace
