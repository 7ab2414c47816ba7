// The packet ray-triangle test, inlined into the traversal loops. The exported
// gfxRT_ray_triangle_intersect forwards to it.
#ifndef GFX_RT_TRIANGLE_KERNEL_H
#define GFX_RT_TRIANGLE_KERNEL_H

#include "gfxMath.h"
#include "gfxRayTracing.h"

namespace gfx_detail {

// The helpers are always inlined: this header is also compiled for
// x86-64-v3 (gfxRTHotPaths.inc), and an out-of-line copy of an inline function
// from that object could be the one the linker keeps for the baseline code.

// Selects a where mask is set, b elsewhere.
__attribute__((always_inline)) inline __m128 select_ps(__m128 mask, __m128 a, __m128 b) {
    return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
}

// Signed volume D . (P x Q) with the products and sums in the order
// (Py*Qz - Pz*Qy)*Dx + (Pz*Qx - Px*Qz)*Dy + (Px*Qy - Py*Qx)*Dz.
__attribute__((always_inline)) inline __m128
signed_volume(__m128 px, __m128 py, __m128 pz, __m128 qx, __m128 qy, __m128 qz, const sse_vec& d) {
    const __m128 cx = _mm_sub_ps(_mm_mul_ps(py, qz), _mm_mul_ps(pz, qy));
    const __m128 cy = _mm_sub_ps(_mm_mul_ps(pz, qx), _mm_mul_ps(px, qz));
    const __m128 cz = _mm_sub_ps(_mm_mul_ps(px, qy), _mm_mul_ps(py, qx));
    return _mm_add_ps(_mm_add_ps(_mm_mul_ps(cx, d.x), _mm_mul_ps(cy, d.y)), _mm_mul_ps(cz, d.z));
}

// _mm_fastrcp_ps of gfxMath.h, operation for operation.
__attribute__((always_inline)) inline __m128 fast_rcp(__m128 x) {
    const __m128 e = _mm_rcp_ps(x);
    return _mm_sub_ps(_mm_add_ps(e, e), _mm_mul_ps(_mm_mul_ps(e, e), x));
}

// Plucker-style test: the ray passes through the triangle when the three
// signed volumes of its direction against the edges, seen from its origin,
// share one sign. Branches only on whole-packet masks.
__attribute__((always_inline)) inline void
intersect_triangle(const triAccel& tri, const RayPacket& rays, unsigned int lane_mask,
                   const RenderState& state, HitPacket& hits) {
    const sse_vec& o = rays.origin;
    const sse_vec& d = rays.direction;
    const __m128 ax = _mm_sub_ps(_mm_set1_ps(tri.vertex0[0]), o.x);
    const __m128 ay = _mm_sub_ps(_mm_set1_ps(tri.vertex0[1]), o.y);
    const __m128 az = _mm_sub_ps(_mm_set1_ps(tri.vertex0[2]), o.z);
    const __m128 bx = _mm_sub_ps(_mm_set1_ps(tri.vertex1[0]), o.x);
    const __m128 by = _mm_sub_ps(_mm_set1_ps(tri.vertex1[1]), o.y);
    const __m128 bz = _mm_sub_ps(_mm_set1_ps(tri.vertex1[2]), o.z);
    const __m128 cx = _mm_sub_ps(_mm_set1_ps(tri.vertex2[0]), o.x);
    const __m128 cy = _mm_sub_ps(_mm_set1_ps(tri.vertex2[1]), o.y);
    const __m128 cz = _mm_sub_ps(_mm_set1_ps(tri.vertex2[2]), o.z);

    // w0 = D.(C x B) weighs vertex0, w1 = D.(B x A) vertex2, w2 = D.(A x C) vertex1.
    const __m128 w0 = signed_volume(cx, cy, cz, bx, by, bz, d);
    const __m128 w1 = signed_volume(bx, by, bz, ax, ay, az, d);
    const __m128 w2 = signed_volume(ax, ay, az, cx, cy, cz, d);
    const int m0 = _mm_movemask_ps(w0);
    const int m1 = _mm_movemask_ps(w1);
    const int m2 = _mm_movemask_ps(w2);

    if (tri.backface_early_out != 0 && (m0 | m1 | m2) == 15)
        return;
    const int candidates = ((~m0 & ~m1 & ~m2) | (m0 & m1 & m2)) & 15 & int(lane_mask);
    if (candidates == 0)
        return;

    const __m128 nx = _mm_set1_ps(tri.normal[0]);
    const __m128 ny = _mm_set1_ps(tri.normal[1]);
    const __m128 nz = _mm_set1_ps(tri.normal[2]);
    const __m128 den =
        _mm_add_ps(_mm_add_ps(_mm_mul_ps(d.x, nx), _mm_mul_ps(d.y, ny)), _mm_mul_ps(d.z, nz));
    const __m128 num =
        _mm_add_ps(_mm_add_ps(_mm_mul_ps(ax, nx), _mm_mul_ps(ay, ny)), _mm_mul_ps(az, nz));
    const __m128 t = _mm_mul_ps(num, fast_rcp(den));

    const __m128 hit = _mm_and_ps(_mm_and_ps(masktable4[candidates], _mm_cmplt_ps(t, hits.t)),
                                  _mm_cmple_ps(eps4_0001, t));
    if (_mm_movemask_ps(hit) == 0)
        return;
    hits.t = select_ps(hit, t, hits.t);
    hits.id = _mm_castps_si128(select_ps(hit, _mm_castsi128_ps(_mm_set1_epi32(tri.triangle_id)),
                                         _mm_castsi128_ps(hits.id)));
    if (state.shadow_rays)
        return;

    const __m128 q = fast_rcp(_mm_add_ps(_mm_add_ps(w0, w1), w2));
    const __m128 side = select_ps(masktable4[m0], minusone4, one4);
    hits.u = select_ps(hit, _mm_mul_ps(side, _mm_mul_ps(w2, q)), hits.u);
    hits.v = select_ps(hit, _mm_mul_ps(w1, q), hits.v);
}

} // namespace gfx_detail

#endif // GFX_RT_TRIANGLE_KERNEL_H
