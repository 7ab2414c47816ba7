// The packet slab test against one axis-aligned box, inlined into the BVH
// traversal. The exported gfxRT_ray_box_intersect forwards to it.
#ifndef GFX_RT_BOX_KERNEL_H
#define GFX_RT_BOX_KERNEL_H

#include "gfxMath.h"
#include "gfxRayTracing.h"

namespace gfx_detail {

// Entry and exit distances of the four rays through the box whose corners are
// given as one broadcast vector per axis. The operand order of every min and
// max is part of the contract: SSE min/max return their second operand when
// either is NaN, which decides which NaN slab distances are dropped.
__attribute__((always_inline)) inline int
intersect_box(const __m128 origin[3], const __m128 inv[3], const __m128 bbmin[3],
              const __m128 bbmax[3], __m128& t_entry) {
    const __m128 t0x = _mm_mul_ps(_mm_sub_ps(bbmin[0], origin[0]), inv[0]);
    const __m128 t1x = _mm_mul_ps(_mm_sub_ps(bbmax[0], origin[0]), inv[0]);
    const __m128 t0y = _mm_mul_ps(_mm_sub_ps(bbmin[1], origin[1]), inv[1]);
    const __m128 t1y = _mm_mul_ps(_mm_sub_ps(bbmax[1], origin[1]), inv[1]);
    const __m128 t0z = _mm_mul_ps(_mm_sub_ps(bbmin[2], origin[2]), inv[2]);
    const __m128 t1z = _mm_mul_ps(_mm_sub_ps(bbmax[2], origin[2]), inv[2]);
    const __m128 tnear =
        _mm_max_ps(_mm_max_ps(_mm_min_ps(t0x, t1x), _mm_min_ps(t0y, t1y)), _mm_min_ps(t0z, t1z));
    const __m128 tfar =
        _mm_min_ps(_mm_min_ps(_mm_max_ps(t0x, t1x), _mm_max_ps(t0y, t1y)), _mm_max_ps(t0z, t1z));
    t_entry = _mm_max_ps(tnear, zero4);
    return _mm_movemask_ps(_mm_and_ps(_mm_cmple_ps(tnear, tfar), _mm_cmplt_ps(zero4, tfar)));
}

} // namespace gfx_detail

#endif // GFX_RT_BOX_KERNEL_H
