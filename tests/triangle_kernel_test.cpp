// The packet ray-triangle test: the byte layouts of its records, worked cases
// and a double-precision oracle.
#include "PacketTestUtil.h"
#include "gfxRayTracing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

// RenderState: thread_index first, then a flags word with shadow_rays in bit
// 0. triAccel: sixteen words, vertex1.z in word 5, triangle_id after the
// normal, casts_shadow last.
TEST(Records, HostVisibleLayouts) {
    RenderState state;
    std::memset(&state, 0, sizeof(state));
    state.thread_index = 0x01020304u;
    state.shadow_rays = 1;
    triAccel t[2];
    std::memset(&t, 0, sizeof(t));
    t[0].vertex1[2] = 1.0f;
    t[0].triangle_id = 7;
    t[0].casts_shadow = 9;
    std::vector<std::uint32_t> words(1 + sizeof(RenderState) / 4 + sizeof(t) / 4, 0);
    std::memcpy(words.data(), &state, sizeof(state));
    std::memcpy(words.data() + 2, &t, sizeof(t));
    EXPECT_EQ(std::vector<std::uint32_t>(words.begin(), words.begin() + 18),
              (std::vector<std::uint32_t>{0x01020304u, 1, 0, 0, 0, 0, 0, 0x3F800000u, 0, 0, 0, 0, 0,
                                          0, 7, 0, 0, 9}));
    EXPECT_EQ(words.size(), 35u);
}

triAccel unit_triangle() {
    const float v0[3] = {0, 0, 0}, v1[3] = {1, 0, 0}, v2[3] = {0, 1, 0};
    return make_triangle(v0, v1, v2, 42);
}

HitPacket trace(const triAccel& tri, const RayPacket& rays, unsigned mask = 15, bool shadow = false,
                float limit = 1e30f) {
    HitPacket hits = empty_hits(limit);
    gfxRT_ray_triangle_intersect(tri, rays, mask, RenderState{0, shadow ? 1u : 0u}, hits);
    return hits;
}

TEST(TriangleKernel, DistanceWindowLaneMaskShadowModeAndBackfaceEarlyOut) {
    triAccel tri = unit_triangle();
    // Below 0.0001 a hit is rejected; one at exactly the distance held is not nearer.
    EXPECT_EQ(lane_of(trace(tri, packet_of({{0.2f, 0.3f, 0.00005f}, {0, 0, -1}})).id, 0), -1);
    const RayPacket down = packet_of({{0.2f, 0.3f, 1}, {0, 0, -1}});
    const float t = lane_of(trace(tri, down).t, 0);
    const HitPacket again = trace(tri, down, 15, false, t);
    EXPECT_EQ(std::make_pair(lane_of(again.id, 0), bits_of(lane_of(again.t, 0))),
              std::make_pair(-1, bits_of(t)));
    const HitPacket masked = trace(tri, down, 0x5, true);
    for (int k = 0; k < 4; ++k) {
        const bool written = (0x5 >> k) & 1;
        EXPECT_EQ(lane_of(masked.id, k), written ? 42 : -1);
        EXPECT_NEAR(lane_of(masked.t, k), written ? 1.0f : 1e30f, 1e-6f);
        // Shadow rays never write u, v.
        EXPECT_EQ(std::make_pair(lane_of(masked.u, k), lane_of(masked.v, k)),
                  std::make_pair(-7.0f, -9.0f));
    }
    // The back-face early out needs every lane on the back: with one lane
    // seeing the front, the back-side lanes record their hits too.
    tri.backface_early_out = 1;
    RayPacket up = packet_of({{0.2f, 0.3f, -1}, {0, 0, 1}});
    EXPECT_EQ(lane_of(trace(tri, up).id, 0), -1);
    set_ray(up, 2, {{0.2f, 0.3f, 1}, {0, 0, -1}});
    const HitPacket hits = trace(tri, up);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(lane_of(hits.id, k), 42);
        EXPECT_NEAR(lane_of(hits.u, k), k == 2 ? 0.2f : -0.2f, 1e-6f);
    }
}

// Moller-Trumbore in double precision.
struct Reference {
    bool hit;
    double t, u, v, edge_distance, cosine; // signed smallest barycentric; |cos(ray, normal)|
};

struct D3 {
    double x, y, z;
    D3 operator-(const D3& o) const { return {x - o.x, y - o.y, z - o.z}; }
    double dot(const D3& o) const { return x * o.x + y * o.y + z * o.z; }
    D3 cross(const D3& o) const {
        return {y * o.z - z * o.y, z * o.x - x * o.z, x * o.y - y * o.x};
    }
};

D3 d3(const float* f) {
    return {f[0], f[1], f[2]};
}

Reference reference_intersect(const triAccel& tri, const Ray3& ray) {
    const D3 v0 = d3(tri.vertex0), e1 = d3(tri.vertex1) - v0, e2 = d3(tri.vertex2) - v0;
    const D3 s = d3(ray.origin) - v0, d = d3(ray.direction);
    const D3 p = d.cross(e2), q = s.cross(e1), n = e1.cross(e2);
    const double det = e1.dot(p);
    Reference r;
    r.u = s.dot(p) / det;
    r.v = d.dot(q) / det;
    r.t = e2.dot(q) / det;
    r.cosine = std::fabs(d.dot(n)) / std::sqrt(n.dot(n) * d.dot(d));
    r.edge_distance = std::fmin(std::fmin(r.u, r.v), 1.0 - r.u - r.v);
    r.hit = r.edge_distance >= 0 && r.t >= 0.0001;
    // Back-side hits carry a negative u in the kernel's convention.
    if (det < 0)
        r.u = -r.u;
    return r;
}

TEST(TriangleKernel, AgreesWithDoublePrecisionReference) {
    std::mt19937 rng(12345);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    const int pairs = 200000; // lanes; about half are active in the mask
    int compared = 0, near_edge = 0, front = 0, back = 0;
    for (int i = 0; i < pairs; i += 4) {
        float v[3][3];
        for (auto& vertex : v)
            for (float& c : vertex)
                c = unit(rng);
        const triAccel tri = make_triangle(v[0], v[1], v[2], i);
        RayPacket rays = packet_of({{0, 0, 0}, {0, 0, 1}});
        Ray3 lanes[4];
        for (int k = 0; k < 4; ++k) {
            // Aim near the triangle's centroid so that a good share of the rays hit.
            for (int a = 0; a < 3; ++a) {
                lanes[k].origin[a] = 2.5f * unit(rng);
                const float target = (v[0][a] + v[1][a] + v[2][a]) / 3 + 0.6f * unit(rng);
                lanes[k].direction[a] = target - lanes[k].origin[a];
            }
            set_ray(rays, k, lanes[k]);
        }
        const unsigned int mask = 1 + (i / 4) % 15; // every non-empty lane mask
        const HitPacket hits = trace(tri, rays, mask);
        for (int k = 0; k < 4; ++k) {
            const Reference ref = reference_intersect(tri, lanes[k]);
            const bool got = lane_of(hits.id, k) == i;
            if (!((mask >> k) & 1)) {
                EXPECT_FALSE(got) << "inactive lane written";
                continue;
            }
            ++compared;
            if (std::fabs(ref.edge_distance) < 1e-5 || ref.cosine < 1e-4 ||
                std::fabs(ref.t - 0.0001) < 1e-6) {
                ++near_edge;
                continue;
            }
            ASSERT_EQ(got, ref.hit) << "pair " << i << " lane " << k;
            if (!got)
                continue;
            (ref.u < 0 ? back : front) += 1;
            const double got_tuv[3] = {lane_of(hits.t, k), lane_of(hits.u, k), lane_of(hits.v, k)},
                         ref_tuv[3] = {ref.t, ref.u, ref.v};
            for (int c = 0; c < 3; ++c) // u and v lose precision at grazing angles
                EXPECT_NEAR(got_tuv[c], ref_tuv[c],
                            1e-5 * std::fmax(1.0, std::fabs(ref_tuv[c])) / (c ? ref.cosine : 1));
        }
    }
    EXPECT_GT(front, 1000);
    EXPECT_GT(back, 1000);
    EXPECT_LT(near_edge, compared / 100);
}

} // namespace
