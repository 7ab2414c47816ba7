// Embree ray records filled from ray arrays, as the query comparison hands
// them over.
#ifndef ZRV_BENCH_EMBREE_RAYS_H
#define ZRV_BENCH_EMBREE_RAYS_H

#include "RayArrays.h"

#include <embree3/rtcore.h>

#include <cstddef>
#include <limits>

namespace zrv {
namespace bench {

// Records per rtcIntersect1M / rtcOccluded1M call: they stay in the
// first-level cache.
const std::size_t EMBREE_RECORDS = 256;

// A context with the coherent flag (a camera's rays in pixel order) or the
// incoherent one (rays that share no origin order).
inline RTCIntersectContext ray_context(bool coherent) {
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    context.flags =
        coherent ? RTC_INTERSECT_CONTEXT_FLAG_COHERENT : RTC_INTERSECT_CONTEXT_FLAG_INCOHERENT;
    return context;
}

inline RTCIntersectContext incoherent_context() {
    return ray_context(false);
}

// Ray i of rays, unbounded, tnear 0.0001 as the library's triangle test.
inline void set_embree_ray(RTCRay& ray, const RayArrays& rays, std::size_t i, unsigned int id) {
    const float* origin = &rays.origins[3 * i];
    const float* direction = &rays.directions[3 * i];
    ray.org_x = origin[0];
    ray.org_y = origin[1];
    ray.org_z = origin[2];
    ray.tnear = 0.0001f;
    ray.dir_x = direction[0];
    ray.dir_y = direction[1];
    ray.dir_z = direction[2];
    ray.time = 0.0f;
    ray.tfar = std::numeric_limits<float>::infinity();
    ray.mask = ~0u;
    ray.id = id;
    ray.flags = 0;
}

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_EMBREE_RAYS_H
