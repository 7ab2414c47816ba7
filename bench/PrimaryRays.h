// Coherent primary rays of a pinhole camera, as 2 x 2 pixel packets.
#ifndef ZRV_BENCH_PRIMARY_RAYS_H
#define ZRV_BENCH_PRIMARY_RAYS_H

#include "gfxRayTracing.h"
#include "zrvSceneMesh.h"

#include <vector>

namespace zrv {
namespace bench {

struct PinholeCamera {
    zrv::scenes::Vec3 eye;
    zrv::scenes::Vec3 look_at;
    zrv::scenes::Vec3 up;
    float vertical_fov_degrees;
};

// Image size of the trace benchmarks (square).
const unsigned int IMAGE_SIZE = 1024;

// A camera looking at the benchmark torus knot (about 3.3 x 3.3 x 1.3 around
// the origin) nearly edge-on, framed on its middle where the tube overlaps
// itself: about 81 % of the primary rays hit it at every tessellation, and a
// few packets straddle a change of direction sign.
PinholeCamera benchmark_camera();

// One packet per 2 x 2 pixel block, blocks in row-major order; lanes 0..3 are
// the pixels (x, y), (x + 1, y), (x, y + 1), (x + 1, y + 1). Directions are
// unit length, so hit distances are in scene units. All four lanes active.
// width and height must be even.
std::vector<RayPacket> primary_ray_packets(const PinholeCamera& camera, unsigned int width,
                                           unsigned int height);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_PRIMARY_RAYS_H
