// Brute-force answers for the wide BVH's queries: every triangle tested with
// gfxRT_ray_triangle_intersect in the host's order, so the nearest t wins and
// equal t goes to the lowest position. Triangles with a non-finite
// coordinate or of zero area (cross product of the edges zero in double) are
// skipped, as the tree leaves them out.
#ifndef ZRV_TEST_WIDE_ORACLE_H
#define ZRV_TEST_WIDE_ORACLE_H

#include "gfxRTWideBVH.h"

#include <vector>

bool oracle_triangle_is_valid(const triAccel& tri);

// Whether a ray can hit anything: finite, with a direction other than zero.
bool traceable(const float* origin, const float* direction);
// The ray in all four lanes, every lane active.
RayPacket broadcast(const float* origin, const float* direction);

// A packet's origin and direction rows (x, y, z each), lane by lane.
void packet_rows(const RayPacket& rays, float rows[6][4]);

// One ray in every lane of a packet, as intersect1 sees it.
gfxRTWideHit oracle_nearest(const std::vector<triAccel>& tris, const float* origin,
                            const float* direction, float max_distance);
bool oracle_occluded(const std::vector<triAccel>& tris, const float* origin, const float* direction,
                     float max_distance);

// The packet queries: hits start as the caller set them; hit_index gets the
// winning positions, -1 elsewhere.
void oracle_intersect4(const std::vector<triAccel>& tris, const RayPacket& rays, HitPacket& hits,
                       __m128i& hit_index, const RenderState& state, float max_distance);
int oracle_occluded4(const std::vector<triAccel>& tris, const RayPacket& rays, __m128 max_distance);

#endif // ZRV_TEST_WIDE_ORACLE_H
