#include "KDTreeTracing.h"

namespace zrv {
namespace bench {

FrameTrace trace_frame(const gfxRTKDTree& tree, const std::vector<RayPacket>& packets,
                       std::vector<HitPacket>* hits_out) {
    const RenderState state{0, 0};
    FrameTrace frame;
    if (hits_out)
        hits_out->resize(packets.size());
    for (std::size_t i = 0; i < packets.size(); ++i) {
        HitPacket hits;
        frame.traversal_calls += trace_packet(tree, packets[i], state, hits);
        const int hit_lanes =
            _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(hits.id, _mm_set1_epi32(-1))));
        frame.hits += lane_count(hit_lanes & packets[i].active_mask);
        frame.rays += lane_count(packets[i].active_mask & 0xF);
        if (hits_out)
            (*hits_out)[i] = hits;
    }
    return frame;
}

} // namespace bench
} // namespace zrv
