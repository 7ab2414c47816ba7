// Tracing the benchmark rays through a gfxRTWideBVH with each of its calls.
#ifndef ZRV_BENCH_WIDE_BVH_TRACING_H
#define ZRV_BENCH_WIDE_BVH_TRACING_H

#include "FrameTrace.h"
#include "RayArrays.h"
#include "RayQuery.h"

#include "gfxRTWideBVH.h"

#include <cstddef>

namespace zrv {
namespace bench {

// Traces packets[0, count) on the calling thread with a query other than
// BATCH. Nearest-hit queries write one HitPacket per packet to hits_out (id =
// the triangle's host position, -1 for a miss), occlusion queries one lane
// mask per packet to occluded_out; either may be null. A hit is an occluded
// lane for the occlusion queries.
FrameTrace trace_run_wide(const gfxRTWideBVH& tree, RayQuery query, const RayPacket* packets,
                          std::size_t count, HitPacket* hits_out, int* occluded_out);

// Every ray of arrays through intersect_batch on `threads` workers; hits
// receives the results.
FrameTrace trace_batch_wide(const gfxRTWideBVH& tree, const RayArrays& arrays, unsigned int threads,
                            BatchHits& hits);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_WIDE_BVH_TRACING_H
