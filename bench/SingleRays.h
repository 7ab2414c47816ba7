// Single rays: the rays of a packet set traced one per packet.
#ifndef ZRV_BENCH_SINGLE_RAYS_H
#define ZRV_BENCH_SINGLE_RAYS_H

#include "gfxRayTracing.h"

#include <vector>

namespace zrv {
namespace bench {

// One packet per active lane of packets, in order: that lane's ray in lane 0,
// lanes 1-3 inactive (active_mask 1) and holding copies of it.
std::vector<RayPacket> single_ray_packets(const std::vector<RayPacket>& packets);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_SINGLE_RAYS_H
