#include "gfxRTTriangleKernel.h"
#include "gfxRayTracing.h"

void gfxRT_ray_triangle_intersect(const triAccel& tri, const RayPacket& rays,
                                  unsigned int lane_mask, const RenderState& state,
                                  HitPacket& hits) {
    gfx_detail::intersect_triangle(tri, rays, lane_mask, state, hits);
}
