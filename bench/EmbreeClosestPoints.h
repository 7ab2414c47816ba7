// Embree's closest points (rtcPointQuery with the closest-point-on-triangle
// callback of Embree's own closest-point tutorial), the counterpart of the
// wide BVH's closest_batch.
#ifndef ZRV_BENCH_EMBREE_CLOSEST_POINTS_H
#define ZRV_BENCH_EMBREE_CLOSEST_POINTS_H

#include "EmbreeTracing.h"
#include "QueryPoints.h"

#include <embree3/rtcore.h>

#include <vector>

namespace zrv {
namespace bench {

// Per query point: the distance to the nearest point of the mesh and its
// triangle (at equal distance the lowest, as the wide BVH picks).
struct EmbreeClosest {
    std::vector<float> distance;
    std::vector<int> triangle;
};

// The queries of every point of points (no radius limit) in scene, which
// holds the buffers' triangles, shared among threads as the wide BVH's batch
// calls share their points.
void embree_closest_points(RTCScene scene, const EmbreeTriangleBuffers& buffers,
                           const PointArray& points, unsigned int threads, EmbreeClosest& closest);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_EMBREE_CLOSEST_POINTS_H
