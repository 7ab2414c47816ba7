// Tracing packets through a gfxRTKDTree the way a host must.
#ifndef ZRV_BENCH_KDTREE_TRACING_H
#define ZRV_BENCH_KDTREE_TRACING_H

#include "FrameTrace.h"

#include "gfxRTKDTree.h"

#include <cstddef>
#include <vector>

namespace zrv {
namespace bench {

// Nearest hits of the active lanes of rays. traverse_tree needs every active
// lane to share the reference lane's direction sign bit on each axis, so a
// packet whose lanes disagree is traced one lane at a time. hits is set to
// "no hit" first. Returns the number of traverse_tree calls made.
inline unsigned int trace_packet(const gfxRTKDTree& tree, const RayPacket& rays,
                                 const RenderState& state, HitPacket& hits) {
    clear_hits(hits);
    const int active = rays.active_mask & 0xF;
    const int sign_x = _mm_movemask_ps(rays.direction.x) & active;
    const int sign_y = _mm_movemask_ps(rays.direction.y) & active;
    const int sign_z = _mm_movemask_ps(rays.direction.z) & active;
    const bool coherent = (sign_x == 0 || sign_x == active) && (sign_y == 0 || sign_y == active) &&
                          (sign_z == 0 || sign_z == active);
    if (active == 0)
        return 0;
    if (coherent) {
        const unsigned int reference_lane = unsigned(__builtin_ctz(unsigned(active)));
        tree.traverse_tree(&rays, &hits, reference_lane, &state, NO_HIT_DISTANCE);
        return 1;
    }
    RayPacket single = rays;
    unsigned int calls = 0;
    for (unsigned int lane = 0; lane < 4; ++lane) {
        if (!((active >> lane) & 1))
            continue;
        single.active_mask = 1 << lane;
        tree.traverse_tree(&single, &hits, lane, &state, NO_HIT_DISTANCE);
        ++calls;
    }
    return calls;
}

// Traces every packet on thread slot 0. When hits_out is not null it receives
// one HitPacket per packet.
FrameTrace trace_frame(const gfxRTKDTree& tree, const std::vector<RayPacket>& packets,
                       std::vector<HitPacket>* hits_out);
// Traces packets[0, count) with the given thread index (the tree's traversal
// slot), the hits left out.
FrameTrace trace_run(const gfxRTKDTree& tree, unsigned int thread_index, const RayPacket* packets,
                     std::size_t count);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_KDTREE_TRACING_H
