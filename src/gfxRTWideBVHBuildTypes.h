// What the wide BVH's builder passes between its stages: the records of
// valid triangles, their boxes, and the binary tree collapsed into the wide
// one.
#ifndef GFX_RT_WIDE_BVH_BUILD_TYPES_H
#define GFX_RT_WIDE_BVH_BUILD_TYPES_H

#include <cstdint>
#include <emmintrin.h>
#include <limits>

namespace gfx_detail {

// One valid triangle during the build: its box and its host position.
struct alignas(16) PrimRef {
    float lo[3];
    std::uint32_t index;
    float hi[3];
    float rounding_length; // of the triangle: see rounding_length in the builder
};
static_assert(sizeof(PrimRef) == 32, "a ref moves as two 16-byte halves");

struct Box {
    __m128 lo, hi;
};

const float kInfinity = std::numeric_limits<float>::infinity();

inline Box empty_box() {
    return Box{_mm_set1_ps(kInfinity), _mm_set1_ps(-kInfinity)};
}
inline void grow(Box& box, __m128 lo, __m128 hi) {
    box.lo = _mm_min_ps(box.lo, lo);
    box.hi = _mm_max_ps(box.hi, hi);
}
inline void grow(Box& box, const Box& other) {
    grow(box, other.lo, other.hi);
}
inline __m128 ref_lo(const PrimRef& r) {
    return _mm_load_ps(r.lo);
}
inline __m128 ref_hi(const PrimRef& r) {
    return _mm_load_ps(r.hi);
}
// Twice the centroid: the sum of the corners needs no scaling.
inline __m128 ref_centroid2(const PrimRef& r) {
    return _mm_add_ps(ref_lo(r), ref_hi(r));
}

// Half the surface area; an empty box has none.
inline float half_area(const Box& box) {
    const __m128 d = _mm_sub_ps(box.hi, box.lo);
    const __m128 rotated = _mm_shuffle_ps(d, d, _MM_SHUFFLE(3, 0, 2, 1)); // dy, dz, dx
    const __m128 products = _mm_mul_ps(d, rotated);                       // dxdy, dydz, dzdx
    const __m128 sum = _mm_add_ss(
        _mm_add_ss(products, _mm_shuffle_ps(products, products, _MM_SHUFFLE(3, 2, 1, 1))),
        _mm_shuffle_ps(products, products, _MM_SHUFFLE(3, 2, 1, 2)));
    return _mm_cvtss_f32(d) >= 0.0f ? _mm_cvtss_f32(sum) : 0.0f;
}

inline unsigned int blocks_for(unsigned int triangles) {
    return (triangles + 3u) / 4u;
}

// The binary tree the wide one is collapsed from. A leaf has count > 0 and
// holds refs [first, first + count); an inner node's children are first and
// second.
struct BinaryNode {
    float lo[3];
    std::uint32_t first;
    float hi[3];
    std::uint32_t second;
    std::uint32_t count;
    float area;
    float rounding_length; // of the triangles below, rounded down (set by measure_wide_tree)
};

} // namespace gfx_detail

#endif // GFX_RT_WIDE_BVH_BUILD_TYPES_H
