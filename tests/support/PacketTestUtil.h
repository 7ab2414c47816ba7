// Helpers to fill packets and read their lanes in tests.
#ifndef ZRV_TEST_PACKET_UTIL_H
#define ZRV_TEST_PACKET_UTIL_H

#include "gfxRayTracing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

struct Ray3 {
    float origin[3];
    float direction[3];
};

inline float lane_of(__m128 v, int k) {
    alignas(16) float f[4];
    _mm_store_ps(f, v);
    return f[k];
}

inline int lane_of(__m128i v, int k) {
    alignas(16) int i[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(i), v);
    return i[k];
}

inline std::uint32_t bits_of(float f) {
    std::uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

inline void set_lane(__m128& v, int k, float value) {
    alignas(16) float f[4];
    _mm_store_ps(f, v);
    f[k] = value;
    v = _mm_load_ps(f);
}

inline void set_ray(RayPacket& packet, int k, const Ray3& ray) {
    for (int a = 0; a < 3; ++a) {
        set_lane((&packet.origin.x)[a], k, ray.origin[a]);
        set_lane((&packet.direction.x)[a], k, ray.direction[a]);
    }
}

// A packet with all four lanes set to ray and every lane active.
inline RayPacket packet_of(const Ray3& ray) {
    RayPacket packet;
    std::memset(&packet, 0, sizeof(packet));
    for (int k = 0; k < 4; ++k)
        set_ray(packet, k, ray);
    packet.active_mask = 15;
    return packet;
}

// No hit yet, distance limit far.
inline HitPacket empty_hits(float limit = 1e30f) {
    HitPacket hits;
    hits.t = _mm_set1_ps(limit);
    hits.u = _mm_set1_ps(-7.0f);
    hits.v = _mm_set1_ps(-9.0f);
    hits.id = _mm_set1_epi32(-1);
    return hits;
}

inline triAccel make_triangle(const float v0[3], const float v1[3], const float v2[3], int id) {
    triAccel t;
    std::memset(&t, 0, sizeof(t));
    std::memcpy(t.vertex0, v0, 12);
    std::memcpy(t.vertex1, v1, 12);
    std::memcpy(t.vertex2, v2, 12);
    const float e1[3] = {v1[0] - v0[0], v1[1] - v0[1], v1[2] - v0[2]};
    const float e2[3] = {v2[0] - v0[0], v2[1] - v0[1], v2[2] - v0[2]};
    for (int a = 0; a < 3; ++a) // e1 x e2
        t.normal[a] = e1[(a + 1) % 3] * e2[(a + 2) % 3] - e1[(a + 2) % 3] * e2[(a + 1) % 3];
    t.triangle_id = id;
    t.casts_shadow = 1;
    return t;
}

// Compares two runs over the same packets lane by lane: id and the bits of t
// must match. Adds a failure for the first difference; returns the number
// of lanes of expected that hold a hit.
inline int expect_identical_hits(const std::vector<HitPacket>& actual,
                                 const std::vector<HitPacket>& expected) {
    int hits = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        for (int k = 0; k < 4; ++k) {
            if (lane_of(actual[i].id, k) != lane_of(expected[i].id, k) ||
                bits_of(lane_of(actual[i].t, k)) != bits_of(lane_of(expected[i].t, k))) {
                ADD_FAILURE() << "packet " << i << " lane " << k << " differs";
                return hits;
            }
            hits += lane_of(expected[i].id, k) >= 0;
        }
    }
    return hits;
}

#endif // ZRV_TEST_PACKET_UTIL_H
