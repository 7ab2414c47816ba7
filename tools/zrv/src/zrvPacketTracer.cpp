#include "zrvPacketTracer.h"

namespace zrv {

bool same_direction_signs(const RayPacket& rays, int lane_mask) {
    const int axes[3] = {_mm_movemask_ps(rays.direction.x), _mm_movemask_ps(rays.direction.y),
                         _mm_movemask_ps(rays.direction.z)};
    for (int signs : axes) {
        signs &= lane_mask;
        if (signs != 0 && signs != lane_mask)
            return false;
    }
    return true;
}

void clear_hits(HitPacket& hits) {
    hits.t = _mm_set1_ps(no_distance_limit);
    hits.u = _mm_setzero_ps();
    hits.v = _mm_setzero_ps();
    hits.id = _mm_set1_epi32(-1);
}

void trace_packet(const gfxRTKDTree& tree, RayPacket& rays, HitPacket& hits,
                  const RenderState& state, float max_distance) {
    const int original_mask = rays.active_mask;
    const int active = original_mask & 0xF;
    if (active == 0)
        return;
    if (same_direction_signs(rays, active)) {
        unsigned int reference = 0;
        while ((active & (1 << reference)) == 0)
            ++reference;
        tree.traverse_tree(&rays, &hits, reference, &state, max_distance);
        return;
    }
    for (unsigned int lane = 0; lane < 4; ++lane) {
        if ((active & (1 << lane)) == 0)
            continue;
        rays.active_mask = 1 << lane;
        tree.traverse_tree(&rays, &hits, lane, &state, max_distance);
    }
    rays.active_mask = original_mask;
}

} // namespace zrv
