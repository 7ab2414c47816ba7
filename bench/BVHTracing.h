// Tracing packets through a gfxRTBVH the way a host does.
#ifndef ZRV_BENCH_BVH_TRACING_H
#define ZRV_BENCH_BVH_TRACING_H

#include "FrameTrace.h"

#include "gfxRTBVH.h"

#include <cstddef>
#include <vector>

namespace zrv {
namespace bench {

// Nearest hits of the active lanes of rays. The BVH traces any packet whole,
// whatever its lanes' directions, so there is one traverse_tree call per
// packet with an active lane. hits is set to "no hit" first.
inline unsigned int trace_packet(const gfxRTBVH& tree, const RayPacket& rays,
                                 const RenderState& state, HitPacket& hits) {
    clear_hits(hits);
    if ((rays.active_mask & 0xF) == 0)
        return 0;
    // traverse_tree takes the packet by non-const reference.
    RayPacket query = rays;
    __m128i hit_object;
    tree.traverse_tree(query, hits, hit_object, state, NO_HIT_DISTANCE);
    return 1;
}

// Traces every packet on thread slot 0. When hits_out is not null it receives
// one HitPacket per packet.
FrameTrace trace_frame(const gfxRTBVH& tree, const std::vector<RayPacket>& packets,
                       std::vector<HitPacket>* hits_out);
// Traces packets[0, count) with the given thread index (the tree's traversal
// slot), the hits left out.
FrameTrace trace_run(const gfxRTBVH& tree, unsigned int thread_index, const RayPacket* packets,
                     std::size_t count);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_BVH_TRACING_H
