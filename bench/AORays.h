// Incoherent rays like those of ambient occlusion: from points on the mesh's
// surface over the hemisphere of the surface normal.
#ifndef ZRV_BENCH_AO_RAYS_H
#define ZRV_BENCH_AO_RAYS_H

#include "gfxRayTracing.h"

#include <cstdint>
#include <vector>

namespace zrv {
namespace bench {

// packet_count packets of four rays that share their origin: a uniform point
// of a uniformly chosen triangle, lifted off its plane by a ten-thousandth of
// the mesh's diagonal along the triangle's normal (as stored, either
// orientation). Directions are cosine-distributed over that normal's
// hemisphere, unit length; the rays are unbounded, as the other sets are.
// The same seed gives the same rays on every machine (zrv::scenes::SplitMix64).
std::vector<RayPacket> ao_ray_packets(const std::vector<triAccel>& triangles,
                                      unsigned int packet_count, std::uint64_t seed);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_AO_RAYS_H
