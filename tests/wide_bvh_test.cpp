// The wide BVH against a brute force over every triangle with the library's
// kernel: t, u, v and positions equal bit for bit, for every query, ray set,
// scene, build thread count and kernel version.
#include "KDTreeTestUtil.h"
#include "OracleRays.h"
#include "OracleScenes.h"
#include "WideOracleCheck.h"

#include "gfxRTWideBVH.h"
#include "zrvSceneMesh.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>

namespace {

// Scattered single rays (half aimed at triangles, some with zero direction
// components), a third unbounded and the others with limits.
WideRays scattered_rays(const std::vector<triAccel>& tris, int count, unsigned seed) {
    WideRays rays;
    const auto packets =
        random_single_lane_packets(tris, zrv::scenes::scene_bounds(tris), count, seed);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.2f, 3.0f);
    for (std::size_t i = 0; i < packets.size(); ++i) {
        alignas(16) float f[6][4];
        _mm_store_ps(f[0], packets[i].origin.x);
        _mm_store_ps(f[1], packets[i].origin.y);
        _mm_store_ps(f[2], packets[i].origin.z);
        _mm_store_ps(f[3], packets[i].direction.x);
        _mm_store_ps(f[4], packets[i].direction.y);
        _mm_store_ps(f[5], packets[i].direction.z);
        const int lane = int(i % 4);
        const float o[3] = {f[0][lane], f[1][lane], f[2][lane]};
        const float d[3] = {f[3][lane], f[4][lane], f[5][lane]};
        rays.add(o, d, i % 3 == 0 ? std::numeric_limits<float>::infinity() : u(rng));
    }
    return rays;
}

class WideBVHOracle : public ::testing::TestWithParam<OracleScene> {};

TEST_P(WideBVHOracle, EveryQueryEqualsTheBruteForce) {
    std::vector<triAccel> tris = GetParam().make();
    mix_triangle_flags(tris);
    const zrv::scenes::Bounds b = zrv::scenes::scene_bounds(tris);
    const WideRays rays = scattered_rays(tris, 3000, 11);
    std::vector<RayPacket> packets = incoherent_packets(b, 600, 5);
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
