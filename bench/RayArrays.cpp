#include "RayArrays.h"

#include "FrameTrace.h"

#include <map>
#include <utility>

namespace zrv {
namespace bench {

LaneRay lane_ray(const RayPacket& packet, int lane) {
    alignas(16) float lanes[6][4];
    _mm_store_ps(lanes[0], packet.origin.x);
    _mm_store_ps(lanes[1], packet.origin.y);
    _mm_store_ps(lanes[2], packet.origin.z);
    _mm_store_ps(lanes[3], packet.direction.x);
    _mm_store_ps(lanes[4], packet.direction.y);
    _mm_store_ps(lanes[5], packet.direction.z);
    return LaneRay{{lanes[0][lane], lanes[1][lane], lanes[2][lane]},
                   {lanes[3][lane], lanes[4][lane], lanes[5][lane]}};
}

RayArrays ray_arrays(const std::vector<RayPacket>& packets) {
    RayArrays arrays;
    for (const RayPacket& packet : packets) {
        for (int lane = 0; lane < 4; ++lane) {
            if (!((packet.active_mask >> lane) & 1))
                continue;
            const LaneRay ray = lane_ray(packet, lane);
            arrays.origins.insert(arrays.origins.end(), ray.origin, ray.origin + 3);
            arrays.directions.insert(arrays.directions.end(), ray.direction, ray.direction + 3);
            ++arrays.count;
        }
    }
    return arrays;
}

const RayArrays& benchmark_ray_arrays(RaySet rays, std::size_t nominal) {
    // The benchmark thread is the only caller.
    static std::map<std::pair<int, std::size_t>, RayArrays> made;
    const std::pair<int, std::size_t> key(static_cast<int>(rays), nominal);
    auto found = made.find(key);
    if (found == made.end())
        found = made.emplace(key, ray_arrays(benchmark_rays(rays, nominal))).first;
    return found->second;
}

void BatchHits::resize(std::size_t count) {
    t.resize(count);
    index.resize(count);
    u.resize(count);
    v.resize(count);
}

std::vector<HitPacket> hit_packets(const std::vector<RayPacket>& packets, const BatchHits& hits) {
    std::vector<HitPacket> result(packets.size());
    std::size_t ray = 0;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        alignas(16) float t[4] = {NO_HIT_DISTANCE, NO_HIT_DISTANCE, NO_HIT_DISTANCE,
                                  NO_HIT_DISTANCE};
        alignas(16) float u[4] = {}, v[4] = {};
        alignas(16) int id[4] = {-1, -1, -1, -1};
        for (int lane = 0; lane < 4; ++lane) {
            if (!((packets[i].active_mask >> lane) & 1))
                continue;
            t[lane] = hits.t[ray];
            u[lane] = hits.u[ray];
            v[lane] = hits.v[ray];
            id[lane] = hits.index[ray];
            ++ray;
        }
        result[i].t = _mm_load_ps(t);
        result[i].u = _mm_load_ps(u);
        result[i].v = _mm_load_ps(v);
        result[i].id = _mm_load_si128(reinterpret_cast<const __m128i*>(id));
    }
    return result;
}

} // namespace bench
} // namespace zrv
