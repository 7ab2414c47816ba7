// One-ray calls made lane by lane of a packet, their hits gathered back
// into the packet's HitPacket.
#ifndef ZRV_BENCH_LANE_CALLS_H
#define ZRV_BENCH_LANE_CALLS_H

#include "FrameTrace.h"
#include "RayArrays.h"

namespace zrv {
namespace bench {

// intersect_one(ray, t, u, v, id) traces one active lane and returns whether
// it hit, having written its hit; lanes without a hit get NO_HIT_DISTANCE and
// id -1. Returns the calls made.
template <class IntersectOne>
unsigned int intersect_each_lane(const RayPacket& rays, HitPacket& hits,
                                 IntersectOne intersect_one) {
    alignas(16) float t[4] = {NO_HIT_DISTANCE, NO_HIT_DISTANCE, NO_HIT_DISTANCE, NO_HIT_DISTANCE};
    alignas(16) float u[4] = {}, v[4] = {};
    alignas(16) int id[4] = {-1, -1, -1, -1};
    unsigned int calls = 0;
    for (int lane = 0; lane < 4; ++lane) {
        if (!((rays.active_mask >> lane) & 1))
            continue;
        float ht, hu, hv;
        int hid;
        if (intersect_one(lane_ray(rays, lane), ht, hu, hv, hid)) {
            t[lane] = ht;
            u[lane] = hu;
            v[lane] = hv;
            id[lane] = hid;
        }
        ++calls;
    }
    hits.t = _mm_load_ps(t);
    hits.u = _mm_load_ps(u);
    hits.v = _mm_load_ps(v);
    hits.id = _mm_load_si128(reinterpret_cast<const __m128i*>(id));
    return calls;
}

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_LANE_CALLS_H
