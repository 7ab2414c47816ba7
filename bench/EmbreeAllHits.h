// Every hit of ray arrays in Embree, the counterpart of the wide BVH's
// count_batch and list_batch: the geometry's intersection filter records
// each hit and rejects it, so that the traversal goes on to the next one.
#ifndef ZRV_BENCH_EMBREE_ALL_HITS_H
#define ZRV_BENCH_EMBREE_ALL_HITS_H

#include "EmbreeTracing.h"
#include "RayArrays.h"

#include <embree3/rtcore.h>

#include <vector>

namespace zrv {
namespace bench {

// A committed scene of the buffers (high quality) whose geometry records
// every hit; only the calls below may trace it. Null on an Embree error.
RTCScene build_embree_all_hits_scene(RTCDevice device, const EmbreeTriangleBuffers& buffers);

// One hit of a list.
struct EmbreeListedHit {
    unsigned int ray;
    float t;
    int triangle;
    float u, v;
};

// Every ray's hits, in the ray order, each ray's sorted by t then triangle
// (as the wide BVH lists them): one list per WORK_CHUNK rays, whose memory a
// later call reuses as a host would.
struct EmbreeHitLists {
    std::vector<std::vector<EmbreeListedHit>> chunks;
};

// Hits most a ray records; one of the benchmark rays has far fewer. Hits
// beyond it are counted (without the check for a triangle met twice) and
// left out of lists; overflowed() tells whether that happened.
const unsigned int EMBREE_MAX_RAY_HITS = 64;

// The hits with 0.0001 <= t of every unbounded ray, each triangle once
// (Embree's high-quality tree may hold a triangle in several leaves, which
// calls the filter once per leaf). Returns whether no ray overflowed.
bool embree_count_hits(RTCScene all_hits, const RayArrays& rays, unsigned int threads,
                       std::vector<unsigned int>& counts);
bool embree_list_hits(RTCScene all_hits, const RayArrays& rays, unsigned int threads,
                      EmbreeHitLists& lists);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_EMBREE_ALL_HITS_H
