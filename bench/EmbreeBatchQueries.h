// Embree's nearest hits and occlusion of ray arrays (rtcIntersect1M,
// rtcOccluded1M), shared among threads as the wide BVH's batch calls share
// their rays, for the comparison with the Python binding's queries.
#ifndef ZRV_BENCH_EMBREE_BATCH_QUERIES_H
#define ZRV_BENCH_EMBREE_BATCH_QUERIES_H

#include "RayArrays.h"

#include <embree3/rtcore.h>

#include <vector>

namespace zrv {
namespace bench {

// Hits count for 0.0001 <= t, as the library's triangle test; the rays are
// unbounded. Results go to hits (index -1, t infinity for a miss) and to
// occluded (1 or 0 per ray), resized to the ray count. coherent: the rays
// come in a camera's pixel order, and Embree is told so.
void embree_intersect_arrays(RTCScene scene, const RayArrays& rays, bool coherent,
                             unsigned int threads, BatchHits& hits);
void embree_occluded_arrays(RTCScene scene, const RayArrays& rays, bool coherent,
                            unsigned int threads, std::vector<unsigned char>& occluded);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_EMBREE_BATCH_QUERIES_H
