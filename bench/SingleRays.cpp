#include "SingleRays.h"

namespace zrv {
namespace bench {

namespace {

// v with every lane set to its lane `lane`.
inline __m128 broadcast_lane(__m128 v, unsigned int lane) {
    alignas(16) float values[4];
    _mm_store_ps(values, v);
    return _mm_set1_ps(values[lane]);
}

} // namespace

std::vector<RayPacket> single_ray_packets(const std::vector<RayPacket>& packets) {
    std::vector<RayPacket> singles;
    singles.reserve(4 * packets.size());
    for (const RayPacket& packet : packets) {
        for (unsigned int lane = 0; lane < 4; ++lane) {
            if (!((packet.active_mask >> lane) & 1))
                continue;
            RayPacket single = packet;
            single.origin.x = broadcast_lane(packet.origin.x, lane);
            single.origin.y = broadcast_lane(packet.origin.y, lane);
            single.origin.z = broadcast_lane(packet.origin.z, lane);
            single.direction.x = broadcast_lane(packet.direction.x, lane);
            single.direction.y = broadcast_lane(packet.direction.y, lane);
            single.direction.z = broadcast_lane(packet.direction.z, lane);
            single.active_mask = 1;
            singles.push_back(single);
        }
    }
    return singles;
}

} // namespace bench
} // namespace zrv
