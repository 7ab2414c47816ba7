// Scalar and four-lane math helpers and the four-lane constants the ray
// kernels are written with.
//
// `log2` and `clamp` would collide with <cmath> and <algorithm>, so every
// scalar helper lives in namespace `gfx`: call gfx::log2, gfx::clamp,
// gfx::nearestPower and so on. The four-lane helpers, `gfxSSEMath` and the
// constants are global, as SSE code expects.
#ifndef GFX_MATH_H
#define GFX_MATH_H

#include "gfxExport.h"

#include <emmintrin.h>
#include <xmmintrin.h>

namespace gfx {

// Base-2 logarithm as float(float(ln x) * float(1 / float(ln 2))).
GFX_API float log2(float x);
// lo if v < lo, else hi if v > hi, else v (lo is tested first).
GFX_API int clamp(int v, int lo, int hi);
// Power of two nearest to n, halfway values rounding up; 0xFFFFFFFF for 0,
// 0 when the result would not fit in 32 bits.
GFX_API unsigned int nearestPower(unsigned int n);
// Largest power of two not above n; 0 for 0.
GFX_API unsigned int nextSmallerPower(unsigned int n);
// k when n == 2^k, 0xFFFFFFFF otherwise.
GFX_API unsigned int computeLog(unsigned int n);
// Splits x into its unbiased binary exponent and the fraction of its mantissa.
GFX_API void fast_log2(float x, int& exponent, float& fraction);
// Completes the unit vector n to a right-handed orthonormal frame (u, v, n).
GFX_API void create_orthogonal_coord_sys(const float n[3], float u[3], float v[3]);

} // namespace gfx

// Four-lane constants, 16-byte aligned, constant-initialised (valid before any
// code of the library runs).
extern GFX_API const __m128 zero4;
extern GFX_API const __m128 one4;
extern GFX_API const __m128 two4;
extern GFX_API const __m128 minusone4;
extern GFX_API const __m128 large4;    // 1e20f
extern GFX_API const __m128 eps4_01;   // 0.01f
extern GFX_API const __m128 eps4_0001; // 0.0001f
extern GFX_API const __m128i zero4i;
extern GFX_API const __m128i minusone4i;
// masktable4[m] has lane k all ones when bit k of m is set, all zeros otherwise.
extern GFX_API const __m128 masktable4[16];

// 1/x per lane: the reciprocal estimate refined by one Newton-Raphson step,
// (e + e) - (e * e) * x. Zero gives NaN (inf * 0 in the refinement).
inline __m128 _mm_fastrcp_ps(const __m128& x) {
    const __m128 e = _mm_rcp_ps(x);
    return _mm_sub_ps(_mm_add_ps(e, e), _mm_mul_ps(_mm_mul_ps(e, e), x));
}

// x^n per lane by x / (n - n*x + x), using the unrefined reciprocal estimate.
inline __m128 _mm_fastpow_ps(const __m128& x, const __m128& n) {
    return _mm_mul_ps(x, _mm_rcp_ps(_mm_add_ps(_mm_sub_ps(n, _mm_mul_ps(n, x)), x)));
}

// Products of a row-major 3x4 matrix (4 floats per row) with four vectors held
// as three four-lane values x, y, z.
class GFX_API gfxSSEMath {
public:
    // row[0]*v[0] + row[1]*v[1] + row[2]*v[2] per lane, accumulated from zero.
    static __m128 inner_product(const float* row, const __m128* v);
    // Four directions times the upper-left 3x3 part of m.
    static void matrix_mul_vector(const float* m, const __m128* v, __m128* out);
    // Four points times the 3x4 affine part of m.
    static void matrix_mul_point(const float* m, const __m128* v, __m128* out);

    gfxSSEMath& operator=(const gfxSSEMath&) { return *this; }
};

#endif // GFX_MATH_H
