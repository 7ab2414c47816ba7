// The wide BVH against a brute force over every triangle with the library's
// kernel: t, u, v and positions equal bit for bit, for every query, ray set,
// scene, build thread count and kernel version.
#include "AllocationFaults.h"
#include "KDTreeTestUtil.h"
#include "OracleRays.h"
#include "OracleScenes.h"
#include "WideOracle.h"

#include "gfxKernelDispatch.h"
#include "gfxRTWideBVH.h"
#include "zrvSceneMesh.h"
#include "zrvSceneShapes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace {

using zrv::scenes::Bounds;

std::string bits(const gfxRTWideHit& h) {
    char text[96];
    std::uint32_t t, u, v;
    std::memcpy(&t, &h.t, 4);
    std::memcpy(&u, &h.u, 4);
    std::memcpy(&v, &h.v, 4);
    std::snprintf(text, sizeof text, "index %d t %08x (%g) u %08x v %08x", h.index, t, h.t, u, v);
    return text;
}

std::string bits(const HitPacket& h, __m128i index) {
    std::string text;
    alignas(16) float t[4], u[4], v[4];
    alignas(16) int id[4], ix[4];
    _mm_store_ps(t, h.t);
    _mm_store_ps(u, h.u);
    _mm_store_ps(v, h.v);
    _mm_store_si128(reinterpret_cast<__m128i*>(id), h.id);
    _mm_store_si128(reinterpret_cast<__m128i*>(ix), index);
    for (int k = 0; k < 4; ++k) {
        gfxRTWideHit lane{t[k], u[k], v[k], ix[k]};
        text += bits(lane) + " id " + std::to_string(id[k]) + "; ";
    }
    return text;
}

void origin_of(const RayPacket& p, int lane, float* o, float* d) {
    alignas(16) float f[6][4];
    _mm_store_ps(f[0], p.origin.x);
    _mm_store_ps(f[1], p.origin.y);
    _mm_store_ps(f[2], p.origin.z);
    _mm_store_ps(f[3], p.direction.x);
    _mm_store_ps(f[4], p.direction.y);
    _mm_store_ps(f[5], p.direction.z);
    for (int a = 0; a < 3; ++a) {
        o[a] = f[a][lane];
        d[a] = f[3 + a][lane];
    }
}

// The kernel versions this processor runs; the selected one is restored.
std::vector<gfxKernelLevel> kernel_levels() {
    std::vector<gfxKernelLevel> levels{GFX_KERNELS_SSE2};
    if (gfxIsKernelLevelSupported(GFX_KERNELS_X86_64_V3))
        levels.push_back(GFX_KERNELS_X86_64_V3);
    return levels;
}

struct Rays {
    std::vector<float> origins, directions, limits;
};

// Rays through a scene: scattered single rays (half aimed at triangles, some
// with zero direction components), with limits mixed in.
Rays single_rays(const std::vector<triAccel>& tris, int count, unsigned seed) {
    Rays rays;
    const auto packets =
        random_single_lane_packets(tris, zrv::scenes::scene_bounds(tris), count, seed);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.2f, 3.0f);
    for (std::size_t i = 0; i < packets.size(); ++i) {
        float o[3], d[3];
        origin_of(packets[i], int(i % 4), o, d);
        rays.origins.insert(rays.origins.end(), o, o + 3);
        rays.directions.insert(rays.directions.end(), d, d + 3);
        rays.limits.push_back(i % 3 == 0 ? std::numeric_limits<float>::infinity() : u(rng));
    }
    return rays;
}

// Checks every query of tree against the brute force on the given rays.
void expect_oracle(const gfxRTWideBVH& tree, const std::vector<triAccel>& tris, const Rays& rays,
                   const std::vector<RayPacket>& packets, const std::string& where) {
    const unsigned int n = unsigned(rays.limits.size());
    std::vector<gfxRTWideHit> expected(n);
    std::vector<unsigned char> expected_occluded(n);
    for (unsigned int i = 0; i < n; ++i) {
        const float* o = &rays.origins[3 * i];
        const float* d = &rays.directions[3 * i];
        expected[i] = oracle_nearest(tris, o, d, rays.limits[i]);
        expected_occluded[i] = oracle_occluded(tris, o, d, rays.limits[i]);
    }
    for (gfxKernelLevel level : kernel_levels()) {
        const gfxKernelLevel saved = gfxGetKernelLevel();
        ASSERT_TRUE(gfxSetKernelLevel(level));
        const std::string at = where + " kernels " + std::to_string(int(level));
        int wrong = 0;
        for (unsigned int i = 0; i < n && wrong < 5; ++i) {
            const float* o = &rays.origins[3 * i];
            const float* d = &rays.directions[3 * i];
            gfxRTWideHit hit;
            const bool found = tree.intersect1(o, d, rays.limits[i], hit);
            if (found != (expected[i].index >= 0) || bits(hit) != bits(expected[i])) {
                ADD_FAILURE() << at << " ray " << i << ": " << bits(hit) << " expected "
                              << bits(expected[i]);
                ++wrong;
            }
            if (tree.occluded1(o, d, rays.limits[i]) != bool(expected_occluded[i])) {
                ADD_FAILURE() << at << " occlusion of ray " << i;
                ++wrong;
            }
        }
        for (unsigned int threads : {1u, 3u}) {
            std::vector<float> t(n), u(n), v(n);
            std::vector<int> index(n);
            std::vector<unsigned char> occluded(n);
            tree.intersect_batch(rays.origins.data(), rays.directions.data(), rays.limits.data(), n,
                                 t.data(), index.data(), u.data(), v.data(), threads);
            tree.occluded_batch(rays.origins.data(), rays.directions.data(), rays.limits.data(), n,
                                occluded.data(), threads);
            for (unsigned int i = 0; i < n && wrong < 10; ++i) {
                const gfxRTWideHit got{t[i], u[i], v[i], index[i]};
                if (bits(got) != bits(expected[i]) || occluded[i] != expected_occluded[i]) {
                    ADD_FAILURE() << at << " batch on " << threads << " threads, ray " << i << ": "
                                  << bits(got) << " expected " << bits(expected[i]);
                    ++wrong;
                }
            }
        }
        for (std::size_t p = 0; p < packets.size() && wrong < 15; ++p) {
            for (unsigned int shadow = 0; shadow < 2; ++shadow) {
                RayPacket rays4 = packets[p];
                const float limit = p % 3 == 0 ? 1e30f : 1.5f;
                const RenderState state{0, shadow};
                HitPacket got{_mm_set1_ps(p % 2 ? 2.0f : 1e30f), _mm_set1_ps(7.0f),
                              _mm_set1_ps(9.0f), _mm_set1_epi32(-1)};
                HitPacket want = got;
                __m128i got_index, want_index;
                tree.intersect4(rays4, got, got_index, state, limit);
                oracle_intersect4(tris, rays4, want, want_index, state, limit);
                if (bits(got, got_index) != bits(want, want_index)) {
                    ADD_FAILURE() << at << " packet " << p << " shadow " << shadow << ":\n "
                                  << bits(got, got_index) << "\nexpected\n "
                                  << bits(want, want_index);
                    ++wrong;
                }
            }
            const __m128 limits = _mm_setr_ps(1e30f, 0.5f, 2.0f, 1e30f);
            const int got = tree.occluded4(packets[p], limits);
            const int want = oracle_occluded4(tris, packets[p], limits);
            if (got != want) {
                ADD_FAILURE() << at << " occluded4 packet " << p << ": " << got << " expected "
                              << want;
                ++wrong;
            }
        }
        ASSERT_TRUE(gfxSetKernelLevel(saved));
    }
}

class WideBVHOracle : public ::testing::TestWithParam<OracleScene> {};

TEST_P(WideBVHOracle, EveryQueryEqualsTheBruteForce) {
    const std::vector<triAccel> tris = GetParam().make();
    const Bounds b = zrv::scenes::scene_bounds(tris);
    const Rays rays = single_rays(tris, 3000, 11);
    std::vector<RayPacket> packets = incoherent_packets(b, 600, 5);
    const auto camera = camera_packets(b, 32, 32, 0.7f);
    packets.insert(packets.end(), camera.begin(), camera.end());
    for (unsigned int threads : {1u, 4u}) {
        gfxRTWideBVH tree;
        ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), threads));
        expect_oracle(tree, tris, rays, packets,
                      std::string(GetParam().name) + " on " + std::to_string(threads));
    }
}

INSTANTIATE_TEST_SUITE_P(Scenes, WideBVHOracle, ::testing::ValuesIn(ORACLE_SCENES), SceneName());

} // namespace
