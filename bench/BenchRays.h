// The ray sets of the trace benchmarks, made once and shared by every
// structure so that all of them trace the same rays.
#ifndef ZRV_BENCH_RAYS_H
#define ZRV_BENCH_RAYS_H

#include "gfxRayTracing.h"

#include <cstddef>
#include <string>
#include <vector>

namespace zrv {
namespace bench {

enum class RaySet {
    // The 2 x 2 packets of benchmark_camera() at IMAGE_SIZE x IMAGE_SIZE.
    PRIMARY_2X2,
    // The same camera rays one per packet (single_ray_packets()).
    SINGLE,
    // AO_RAY_PACKETS packets of ao_ray_packets() on the mesh.
    AO,
    // RANDOM_RAY_PACKETS packets of random_ray_packets() around the mesh.
    RANDOM,
};

const RaySet RAY_SETS[] = {RaySet::PRIMARY_2X2, RaySet::SINGLE, RaySet::AO, RaySet::RANDOM};

// 2^18 random rays.
const unsigned int RANDOM_RAY_PACKETS = 1u << 16;
// 2^18 ambient-occlusion-like rays.
const unsigned int AO_RAY_PACKETS = 1u << 16;

// "primary_2x2", "single", "ao", "random": the ray set's part of benchmark names.
const char* ray_set_name(RaySet rays);

// The thread counts of the trace benchmarks, and the variant part of their
// names: "primary_2x2_1thread", "random_2threads", ...
const unsigned int TRACE_THREAD_COUNTS[] = {1, 2};
std::string trace_variant(RaySet rays, unsigned int threads);

// Whether the lanes of a packet travel together (for Embree's context flag).
bool ray_set_is_coherent(RaySet rays);

// The packets of a ray set for benchmark_mesh(nominal), made on first use;
// the reference stays valid for the life of the process.
const std::vector<RayPacket>& benchmark_rays(RaySet rays, std::size_t nominal);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_RAYS_H
