// Query points for the closest-point comparison.
#ifndef ZRV_BENCH_QUERY_POINTS_H
#define ZRV_BENCH_QUERY_POINTS_H

#include "gfxRayTracing.h"

#include <cstdint>
#include <vector>

namespace zrv {
namespace bench {

// x, y, z per point.
using PointArray = std::vector<float>;

// count points near the surface: a uniform point of a uniformly chosen
// triangle moved along its normal by a uniform distance within a hundredth
// of the mesh's diagonal, to either side.
PointArray near_surface_points(const std::vector<triAccel>& triangles, unsigned int count,
                               std::uint64_t seed);

// count uniform points of the mesh's box.
PointArray box_points(const std::vector<triAccel>& triangles, unsigned int count,
                      std::uint64_t seed);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_QUERY_POINTS_H
