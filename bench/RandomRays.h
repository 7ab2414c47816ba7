// Incoherent rays: a deterministic set of rays with random origins and
// directions around a mesh, four to a packet.
#ifndef ZRV_BENCH_RANDOM_RAYS_H
#define ZRV_BENCH_RANDOM_RAYS_H

#include "gfxRayTracing.h"
#include "zrvSceneMesh.h"

#include <cstdint>
#include <vector>

namespace zrv {
namespace bench {

// Axis-aligned box.
struct Box {
    zrv::scenes::Vec3 low;
    zrv::scenes::Vec3 high;
};

// The box of every vertex of triangles.
Box triangles_box(const std::vector<triAccel>& triangles);

// Rays counted in packets of four, all lanes active. Each ray starts at a
// uniform point of box grown by a tenth of its size on every side and points
// (unit length) towards a uniform point of box, so lanes share no direction
// signs and about half of the rays of a solid in the box hit it. The same
// seed gives the same rays on every machine (zrv::scenes::SplitMix64).
std::vector<RayPacket> random_ray_packets(const Box& box, unsigned int packet_count,
                                          std::uint64_t seed);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_RANDOM_RAYS_H
