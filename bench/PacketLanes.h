// A ray packet put together from its four rays.
#ifndef ZRV_BENCH_PACKET_LANES_H
#define ZRV_BENCH_PACKET_LANES_H

#include "gfxRayTracing.h"
#include "zrvSceneMesh.h"

namespace zrv {
namespace bench {

// Lane k holds origin[k] and direction[k]; all four lanes active, the host's
// fields zero.
inline RayPacket packet_from_lanes(const zrv::scenes::Vec3 origin[4],
                                   const zrv::scenes::Vec3 direction[4]) {
    RayPacket packet;
    packet.direction =
        sse_vec{_mm_setr_ps(direction[0].x, direction[1].x, direction[2].x, direction[3].x),
                _mm_setr_ps(direction[0].y, direction[1].y, direction[2].y, direction[3].y),
                _mm_setr_ps(direction[0].z, direction[1].z, direction[2].z, direction[3].z)};
    packet.origin = sse_vec{_mm_setr_ps(origin[0].x, origin[1].x, origin[2].x, origin[3].x),
                            _mm_setr_ps(origin[0].y, origin[1].y, origin[2].y, origin[3].y),
                            _mm_setr_ps(origin[0].z, origin[1].z, origin[2].z, origin[3].z)};
    packet.host_value = _mm_setzero_ps();
    packet.host_word = 0;
    packet.active_mask = 0xF;
    return packet;
}

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_PACKET_LANES_H
