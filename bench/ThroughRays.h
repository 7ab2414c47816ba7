// Rays that cross a whole mesh, for the queries that report every hit.
#ifndef ZRV_BENCH_THROUGH_RAYS_H
#define ZRV_BENCH_THROUGH_RAYS_H

#include "RayArrays.h"

#include "gfxRayTracing.h"

#include <cstdint>
#include <vector>

namespace zrv {
namespace bench {

// count unbounded rays across the mesh's box along its two longest axes
// (the plane the benchmark knot winds in), so that most cross several of
// its tubes: each from a uniform point of the circle around the box's centre
// in that plane (radius the box's diagonal), lifted along the third axis to
// a uniform height of the box's middle half, towards a uniform point of the
// box's middle half (shrunk by a quarter of its size on every side), unit
// length. The same seed gives the same rays on every machine
// (zrv::scenes::SplitMix64).
RayArrays through_rays(const std::vector<triAccel>& triangles, unsigned int count,
                       std::uint64_t seed);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_THROUGH_RAYS_H
