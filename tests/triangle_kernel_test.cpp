// The packet ray-triangle test: worked cases and a double-precision oracle.
#include "PacketTestUtil.h"
#include "gfxRayTracing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>

namespace {

const float V0[3] = {0, 0, 0}, V1[3] = {1, 0, 0}, V2[3] = {0, 1, 0};

triAccel unit_triangle() {
    triAccel t = make_triangle(V0, V1, V2, 42);
    t.normal[0] = 0;
    t.normal[1] = 0;
    t.normal[2] = 1;
    return t;
}

RenderState state(bool shadow = false) {
    RenderState s;
    s.thread_index = 0;
    s.shadow_rays = shadow ? 1 : 0;
    return s;
}

// The oracle below checks t, u and v of either side; here the side's sign
// convention on a worked case.
TEST(TriangleKernel, BackSideHitsCarryTheSideInU) {
    triAccel tri = unit_triangle();
    HitPacket hits;
    // A longer direction halves t, and neither the normal's length nor its
    // orientation matters.
    const float directions[2] = {1, 2};
    const float normals[2] = {1, -5};
    for (float dz : directions) {
        for (float nz : normals) {
            tri.normal[2] = nz;
            hits = empty_hits();
            gfxRT_ray_triangle_intersect(tri, packet_of({{0.2f, 0.3f, -1}, {0, 0, dz}}), 15,
                                         state(), hits);
            EXPECT_NEAR(lane_of(hits.t, 0), 1.0f / dz, 1e-6f);
            EXPECT_NEAR(lane_of(hits.u, 0), -0.2f, 1e-6f);
            EXPECT_NEAR(lane_of(hits.v, 0), 0.3f, 1e-6f);
        }
    }
}

TEST(TriangleKernel, DistanceWindowIsHalfOpen) {
    const triAccel tri = unit_triangle();
    // Below 0.0001: rejected.
    HitPacket hits = empty_hits();
    gfxRT_ray_triangle_intersect(tri, packet_of({{0.2f, 0.3f, 0.00005f}, {0, 0, -1}}), 15, state(),
                                 hits);
    EXPECT_EQ(lane_of(hits.id, 0), -1);
    // A hit at exactly the distance already held is not nearer.
    const RayPacket rays = packet_of({{0.2f, 0.3f, 1}, {0, 0, -1}});
    hits = empty_hits();
    gfxRT_ray_triangle_intersect(tri, rays, 15, state(), hits);
    const float t = lane_of(hits.t, 0);
    hits = empty_hits(t);
    gfxRT_ray_triangle_intersect(tri, rays, 15, state(), hits);
    EXPECT_EQ(lane_of(hits.id, 0), -1);
    EXPECT_EQ(bits_of(lane_of(hits.t, 0)), bits_of(t));
}

TEST(TriangleKernel, LaneMaskAndShadowModeLeaveFieldsAlone) {
    const triAccel tri = unit_triangle();
    HitPacket hits = empty_hits();
    gfxRT_ray_triangle_intersect(tri, packet_of({{0.2f, 0.3f, 1}, {0, 0, -1}}), 0x5, state(true),
                                 hits);
    for (int k = 0; k < 4; ++k) {
        const bool written = (0x5 >> k) & 1;
        EXPECT_EQ(lane_of(hits.id, k), written ? 42 : -1);
        if (written)
            EXPECT_NEAR(lane_of(hits.t, k), 1.0f, 1e-6f);
        else
            EXPECT_EQ(lane_of(hits.t, k), 1e30f);
        EXPECT_EQ(lane_of(hits.u, k), -7.0f); // shadow rays never write u, v
        EXPECT_EQ(lane_of(hits.v, k), -9.0f);
    }
}

TEST(TriangleKernel, BackfaceEarlyOutNeedsEveryLaneOnTheBack) {
    triAccel tri = unit_triangle();
    tri.backface_early_out = 1;
    HitPacket hits = empty_hits();
    gfxRT_ray_triangle_intersect(tri, packet_of({{0.2f, 0.3f, -1}, {0, 0, 1}}), 15, state(), hits);
    EXPECT_EQ(lane_of(hits.id, 0), -1);
    // One lane sees the front: the back-side lanes record their hits too.
    RayPacket rays = packet_of({{0.2f, 0.3f, -1}, {0, 0, 1}});
    set_ray(rays, 2, {{0.2f, 0.3f, 1}, {0, 0, -1}});
    hits = empty_hits();
    gfxRT_ray_triangle_intersect(tri, rays, 15, state(), hits);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(lane_of(hits.id, k), 42);
        EXPECT_NEAR(lane_of(hits.u, k), k == 2 ? 0.2f : -0.2f, 1e-6f);
    }
}

TEST(TriangleKernel, RaysParallelToThePlaneNeverHit) {
    const triAccel tri = unit_triangle();
    HitPacket hits = empty_hits();
    RayPacket rays = packet_of({{-1, 0.25f, 0}, {1, 0, 0}}); // in the plane, through the triangle
    set_ray(rays, 1, {{-1, 0.25f, 0.5f}, {1, 0, 0}});        // above the plane
    set_ray(rays, 2, {{-1, 0.25f, -0.0f}, {1, 0.1f, 0}});
    set_ray(rays, 3, {{0.25f, -1, 0}, {0, 1, 0}});
    gfxRT_ray_triangle_intersect(tri, rays, 15, state(), hits);
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(lane_of(hits.id, k), -1);
}

// Moller-Trumbore in double precision.
struct Reference {
    bool hit;
    double t, u, v;
    double edge_distance; // smallest barycentric coordinate, signed
    double cosine;        // |cos| between ray and plane normal
};

Reference reference_intersect(const triAccel& tri, const Ray3& ray) {
    double e1[3], e2[3], p[3], s[3], q[3];
    for (int a = 0; a < 3; ++a) {
        e1[a] = double(tri.vertex1[a]) - tri.vertex0[a];
        e2[a] = double(tri.vertex2[a]) - tri.vertex0[a];
        s[a] = double(ray.origin[a]) - tri.vertex0[a];
    }
    const double d[3] = {ray.direction[0], ray.direction[1], ray.direction[2]};
    p[0] = d[1] * e2[2] - d[2] * e2[1];
    p[1] = d[2] * e2[0] - d[0] * e2[2];
    p[2] = d[0] * e2[1] - d[1] * e2[0];
    const double det = e1[0] * p[0] + e1[1] * p[1] + e1[2] * p[2];
    q[0] = s[1] * e1[2] - s[2] * e1[1];
    q[1] = s[2] * e1[0] - s[0] * e1[2];
    q[2] = s[0] * e1[1] - s[1] * e1[0];
    Reference r;
    r.u = (s[0] * p[0] + s[1] * p[1] + s[2] * p[2]) / det;
    r.v = (d[0] * q[0] + d[1] * q[1] + d[2] * q[2]) / det;
    r.t = (e2[0] * q[0] + e2[1] * q[1] + e2[2] * q[2]) / det;
    const double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                         e1[0] * e2[1] - e1[1] * e2[0]};
    const double nl = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    const double dl = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    r.cosine = std::fabs(d[0] * n[0] + d[1] * n[1] + d[2] * n[2]) / (nl * dl);
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
    int compared = 0, hits_seen = 0, near_edge = 0, front = 0, back = 0;
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
        HitPacket hits = empty_hits(1e30f);
        gfxRT_ray_triangle_intersect(tri, rays, mask, RenderState{0, 0}, hits);
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
            ++hits_seen;
            (ref.u < 0 ? back : front) += 1;
            const double tol = 1e-5;
            EXPECT_NEAR(lane_of(hits.t, k), ref.t, tol * std::fmax(1.0, std::fabs(ref.t)));
            EXPECT_NEAR(lane_of(hits.u, k), ref.u,
                        tol * std::fmax(1.0, std::fabs(ref.u)) / ref.cosine);
            EXPECT_NEAR(lane_of(hits.v, k), ref.v,
                        tol * std::fmax(1.0, std::fabs(ref.v)) / ref.cosine);
        }
    }
    std::printf("[ oracle   ] %d lanes compared, %d hits (%d front, %d back), %d within the edge "
                "tolerance\n",
                compared, hits_seen, front, back, near_edge);
    EXPECT_GT(front, 1000);
    EXPECT_GT(back, 1000);
    EXPECT_LT(near_edge, compared / 100);
}

} // namespace
