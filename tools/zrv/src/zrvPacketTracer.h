// Handing packets to the KD-tree traversal, which orders its descent by the
// direction signs of one lane: packets whose active lanes disagree in sign on
// some axis are traced one lane at a time.
#ifndef ZRV_PACKET_TRACER_H
#define ZRV_PACKET_TRACER_H

#include <gfxRTKDTree.h>

namespace zrv {

// Distance limit of every query: large but finite.
constexpr float no_distance_limit = 1e30f;

// True when, on each axis, the direction sign bits of all lanes of
// lane_mask agree.
bool same_direction_signs(const RayPacket& rays, int lane_mask);

// Sets every lane of hits to "no hit yet": t = no_distance_limit, id = -1.
void clear_hits(HitPacket& hits);

// Finds the nearest hits of the active lanes of rays whose cells start
// before max_distance. The packet's active_mask is changed during the call
// and restored before it returns.
void trace_packet(const gfxRTKDTree& tree, RayPacket& rays, HitPacket& hits,
                  const RenderState& state, float max_distance = no_distance_limit);

} // namespace zrv

#endif // ZRV_PACKET_TRACER_H
