// Embree's one-ray, occlusion and batch calls on the benchmark rays, the
// counterparts of the wide BVH's (WideBVHTracing.h).
#ifndef ZRV_BENCH_EMBREE_RAY_QUERIES_H
#define ZRV_BENCH_EMBREE_RAY_QUERIES_H

#include "FrameTrace.h"
#include "RayArrays.h"
#include "RayQuery.h"

#include <embree3/rtcore.h>

#include <cstddef>

namespace zrv {
namespace bench {

// Traces packets[0, count) on the calling thread: ONE_RAY with rtcIntersect1,
// PACKETS_IN_FOURS with rtcIntersect16 on four packets at a time,
// OCCLUDED_PACKETS with rtcOccluded4, OCCLUDED_ONE_RAY with rtcOccluded1
// (PACKETS and BATCH are traced elsewhere and give an empty frame here).
// Outputs as trace_run_wide's; coherent sets Embree's context flag.
FrameTrace trace_run_embree_query(RTCScene scene, RayQuery query, bool coherent,
                                  const RayPacket* packets, std::size_t count, HitPacket* hits_out,
                                  int* occluded_out);

// Every ray of arrays through rtcIntersect1M, copied from the arrays into
// Embree's ray records and the results back into hits chunk by chunk, as a
// host whose rays are arrays does; `threads` std::threads take equal runs.
FrameTrace trace_batch_embree(RTCScene scene, const RayArrays& arrays, unsigned int threads,
                              BatchHits& hits);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_EMBREE_RAY_QUERIES_H
