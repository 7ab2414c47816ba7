#include "gfxRTBoxKernel.h"
#include "gfxRayTracing.h"

int gfxRT_ray_box_intersect(const RayPacket& rays, const sse_vec& inv, const float* const bbmin,
                            const float* const bbmax, __m128& t_entry) {
    const __m128 origin[3] = {rays.origin.x, rays.origin.y, rays.origin.z};
    const __m128 inverse[3] = {inv.x, inv.y, inv.z};
    const __m128 low[3] = {_mm_set1_ps(bbmin[0]), _mm_set1_ps(bbmin[1]), _mm_set1_ps(bbmin[2])};
    const __m128 high[3] = {_mm_set1_ps(bbmax[0]), _mm_set1_ps(bbmax[1]), _mm_set1_ps(bbmax[2])};
    return gfx_detail::intersect_box(origin, inverse, low, high, t_entry);
}
