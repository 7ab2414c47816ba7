// A ray set laid out as plain arrays, as a host hands rays to a batch call.
#ifndef ZRV_BENCH_RAY_ARRAYS_H
#define ZRV_BENCH_RAY_ARRAYS_H

#include "BenchRays.h"

#include "gfxRayTracing.h"

#include <cstddef>
#include <vector>

namespace zrv {
namespace bench {

// One lane of a packet as plain arrays.
struct LaneRay {
    float origin[3];
    float direction[3];
};
LaneRay lane_ray(const RayPacket& packet, int lane);

// The active lanes of a set of packets, packet by packet and lane by lane.
struct RayArrays {
    std::vector<float> origins;    // x, y, z per ray
    std::vector<float> directions; // x, y, z per ray
    std::size_t count = 0;
};
RayArrays ray_arrays(const std::vector<RayPacket>& packets);
// ray_arrays(benchmark_rays(rays, nominal)), made once; the reference stays
// valid for the life of the process.
const RayArrays& benchmark_ray_arrays(RaySet rays, std::size_t nominal);

// The nearest hits of a batch call, one entry per ray of a RayArrays.
struct BatchHits {
    std::vector<float> t;
    std::vector<int> index; // -1 for a miss
    std::vector<float> u;
    std::vector<float> v;

    void resize(std::size_t count);
};

// The hits of ray_arrays(packets) put back into one HitPacket per packet
// (id = index), for the comparisons made on packets.
std::vector<HitPacket> hit_packets(const std::vector<RayPacket>& packets, const BatchHits& hits);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_RAY_ARRAYS_H
