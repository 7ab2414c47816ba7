// The wide BVH against a brute force over every triangle with the library's
// kernel: t, u, v and positions equal bit for bit, for every query, ray set,
// scene, build thread count and kernel version.
#include "KDTreeTestUtil.h"
#include "OracleRays.h"
#include "OracleScenes.h"
#include "WideOracle.h"
#include "WideOracleCheck.h"

#include "gfxRTWideBVH.h"
#include "zrvSceneMesh.h"
#include "zrvSceneShapes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace {

class WideBVHOracle : public ::testing::TestWithParam<OracleScene> {};

TEST_P(WideBVHOracle, EveryQueryEqualsTheBruteForce) {
    std::vector<triAccel> tris = GetParam().make();
    mix_triangle_flags(tris);
    const zrv::scenes::Bounds b = zrv::scenes::scene_bounds(tris);
    WideRays rays = scattered_rays(tris, 3000, 11);
    append(rays, camera_batch_rays(b, 3.0f, 13));
    std::vector<RayPacket> packets = incoherent_packets(b, 600, 5);
    append(packets, one_point_packets(packets, 300));
    append(packets, camera_packets(b, 32, 32, 0.7f));
    append(packets, facing_pairs(scattered_rays(tris, 800, 12)));
    for (unsigned int threads : {1u, 4u}) {
        gfxRTWideBVH tree;
        ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), threads));
        expect_wide_oracle(tree, tris, rays, packets,
                           std::string(GetParam().name) + " on " + std::to_string(threads));
    }
}

INSTANTIATE_TEST_SUITE_P(Scenes, WideBVHOracle, ::testing::ValuesIn(ORACLE_SCENES), SceneName());

// A triangle reaching out to 1e38, where the kernel's signed volumes
// overflow to NaN and it hits the triangle's back with NaN u and v: every
// query keeps those NaNs' bits, the sign included.
TEST(WideBVHOracleOverflow, NaNWeightsOfAnOverflowingTriangleAreTheKernels) {
    triAccel tri{};
    const float corners[9] = {-0x1.98a4a4p-1f, 0x1.1c696cp-1f,    -0x1.60107cp-2f,
                              -0x1.eb16p-3f,   0x1.1c696cp-1f,    0x1.e6b97ep+23f,
                              0x1.ab427ep-1f,  -0x1.681f7ep+126f, 0x1.5a317cp+34f};
    std::memcpy(tri.vertex0, corners, sizeof corners);
    zrv::scenes::compute_normal(tri);
    tri.casts_shadow = 1;
    const std::vector<triAccel> tris{tri};
    const float o[3] = {-0x1.165bc8p+1f, -0x1.b1b47cp+1f, 0x1.e126f4p+1f};
    const float d[3] = {0x1.994c68p+0f, 0x1.7a41eep+1f, -0x1.8p+1f};
    const gfxRTWideHit want = oracle_nearest(tris, o, d, 1e30f);
    ASSERT_EQ(want.index, 0);
    ASSERT_TRUE(std::isnan(want.u) && std::signbit(want.u));
    WideRays rays;
    rays.add(o, d, 1e30f);
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(tris.data(), 1, 1));
    expect_wide_oracle(tree, tris, rays, {broadcast(o, d)}, "overflowing triangle");
    gfxRTWideHitList list;
    ASSERT_TRUE(tree.list_batch(o, d, nullptr, 1, list, 1));
    ASSERT_EQ(list.count, 1u);
    EXPECT_EQ(hit_bits({list.t[0], list.u[0], list.v[0], list.index[0]}), hit_bits(want));
    gfxRTWideHitListRelease(list);
}

// A million rays through a small scene in one batch, checked four at a time
// against the packet brute force (no back-face early out is set, so its
// lanes are independent).
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
    for (std::size_t p = 0, i = 0; p < packets.size() && wrong < 5; ++p, i += 4) {
        HitPacket want{_mm_loadu_ps(&rays.limits[i]), _mm_setzero_ps(), _mm_setzero_ps(),
                       _mm_set1_epi32(-1)};
        __m128i want_index;
        oracle_intersect4(tris, packets[p], want, want_index, RenderState{0, 0},
                          std::numeric_limits<float>::infinity());
        const HitPacket got{_mm_loadu_ps(&t[i]), _mm_loadu_ps(&u[i]), _mm_loadu_ps(&v[i]), want.id};
        const __m128i got_index = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&index[i]));
        if (packet_bits(got, got_index) != packet_bits(want, want_index)) {
            ADD_FAILURE() << "rays " << i << " to " << i + 3 << ": " << packet_bits(got, got_index)
                          << " expected " << packet_bits(want, want_index);
            ++wrong;
        }
    }
}

} // namespace
