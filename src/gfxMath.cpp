#include "gfxMath.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace gfx {

float log2(float x) {
    // 1 / float(ln 2), rounded to float: 0x3FB8AA3B. Computed once; concurrent
    // first calls are serialised by the static initialisation guard.
    static const float invLog2 = 1.0f / static_cast<float>(std::log(2.0));
    return static_cast<float>(std::log(static_cast<double>(x))) * invLog2;
}

int clamp(int v, int lo, int hi) {
    if (v < lo)
        return lo;
    if (v > hi)
        return hi;
    return v;
}

unsigned int nearestPower(unsigned int n) {
    if (n == 0)
        return 0xFFFFFFFFu;
    if (n == 1)
        return 1;
    const unsigned int k = 31u - static_cast<unsigned int>(__builtin_clz(n));
    // The bit below the highest one decides: n >= 3 * 2^(k-1) rounds up.
    if ((n >> (k - 1)) & 1u)
        return k == 31 ? 0u : 1u << (k + 1);
    return 1u << k;
}

unsigned int nextSmallerPower(unsigned int n) {
    if (n == 0)
        return 0;
    return 1u << (31u - static_cast<unsigned int>(__builtin_clz(n)));
}

unsigned int computeLog(unsigned int n) {
    if (n == 0)
        return 0xFFFFFFFFu;
    unsigned int count = 0;
    while ((n & 1u) == 0) {
        n >>= 1;
        ++count;
    }
    return n == 1 ? count : 0xFFFFFFFFu;
}

void fast_log2(float x, int& exponent, float& fraction) {
    std::uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    exponent = static_cast<int>((bits >> 23) & 0xFFu) - 127;
    // Keep sign and mantissa, force the exponent of [1, 2).
    const std::uint32_t mantissa_bits = (bits & 0x807FFFFFu) + 0x3F800000u;
    float mantissa;
    std::memcpy(&mantissa, &mantissa_bits, sizeof mantissa);
    fraction = mantissa - 1.0f;
}

void create_orthogonal_coord_sys(const float n[3], float u[3], float v[3]) {
    if (std::fabs(n[0]) > std::fabs(n[1])) {
        const float s = 1.0f / std::sqrt(n[0] * n[0] + n[2] * n[2]);
        u[0] = -n[2] * s;
        u[1] = 0.0f;
        u[2] = n[0] * s;
    } else {
        const float s = 1.0f / std::sqrt(n[1] * n[1] + n[2] * n[2]);
        u[0] = 0.0f;
        u[1] = n[2] * s;
        u[2] = -n[1] * s;
    }
    v[0] = n[1] * u[2] - n[2] * u[1];
    v[1] = n[2] * u[0] - n[0] * u[2];
    v[2] = n[0] * u[1] - n[1] * u[0];
}

} // namespace gfx

__m128 gfxSSEMath::inner_product(const float* row, const __m128* v) {
    __m128 sum = zero4;
    sum = _mm_add_ps(sum, _mm_mul_ps(_mm_set1_ps(row[0]), v[0]));
    sum = _mm_add_ps(sum, _mm_mul_ps(_mm_set1_ps(row[1]), v[1]));
    sum = _mm_add_ps(sum, _mm_mul_ps(_mm_set1_ps(row[2]), v[2]));
    return sum;
}

// Results go through locals so that out may alias v.
void gfxSSEMath::matrix_mul_vector(const float* m, const __m128* v, __m128* out) {
    const __m128 x = inner_product(m, v);
    const __m128 y = inner_product(m + 4, v);
    const __m128 z = inner_product(m + 8, v);
    out[0] = x;
    out[1] = y;
    out[2] = z;
}

void gfxSSEMath::matrix_mul_point(const float* m, const __m128* v, __m128* out) {
    const __m128 x = _mm_add_ps(inner_product(m, v), _mm_set1_ps(m[3]));
    const __m128 y = _mm_add_ps(inner_product(m + 4, v), _mm_set1_ps(m[7]));
    const __m128 z = _mm_add_ps(inner_product(m + 8, v), _mm_set1_ps(m[11]));
    out[0] = x;
    out[1] = y;
    out[2] = z;
}
