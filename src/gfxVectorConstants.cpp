// The four-lane constants. All are constant-initialised from bit patterns so
// that they hold their values from the moment the library is mapped.
#include "gfxMath.h"

#include <cstdint>

namespace {

typedef unsigned int u4 __attribute__((vector_size(16)));

constexpr unsigned int lane(unsigned int mask, unsigned int k) {
    return (mask >> k) & 1u ? 0xFFFFFFFFu : 0u;
}

} // namespace

alignas(16) const __m128 zero4 = {0.0f, 0.0f, 0.0f, 0.0f};
alignas(16) const __m128 one4 = {1.0f, 1.0f, 1.0f, 1.0f};
alignas(16) const __m128 two4 = {2.0f, 2.0f, 2.0f, 2.0f};
alignas(16) const __m128 minusone4 = {-1.0f, -1.0f, -1.0f, -1.0f};
alignas(16) const __m128 large4 = {1e20f, 1e20f, 1e20f, 1e20f};
alignas(16) const __m128 eps4_01 = {0.01f, 0.01f, 0.01f, 0.01f};
alignas(16) const __m128 eps4_0001 = {0.0001f, 0.0001f, 0.0001f, 0.0001f};
alignas(16) const __m128i zero4i = {0, 0};
alignas(16) const __m128i minusone4i = {-1, -1};

#define GFX_MASK_ENTRY(m) (__m128)(u4{lane(m, 0), lane(m, 1), lane(m, 2), lane(m, 3)})
alignas(16) const __m128 masktable4[16] = {
    GFX_MASK_ENTRY(0),  GFX_MASK_ENTRY(1),  GFX_MASK_ENTRY(2),  GFX_MASK_ENTRY(3),
    GFX_MASK_ENTRY(4),  GFX_MASK_ENTRY(5),  GFX_MASK_ENTRY(6),  GFX_MASK_ENTRY(7),
    GFX_MASK_ENTRY(8),  GFX_MASK_ENTRY(9),  GFX_MASK_ENTRY(10), GFX_MASK_ENTRY(11),
    GFX_MASK_ENTRY(12), GFX_MASK_ENTRY(13), GFX_MASK_ENTRY(14), GFX_MASK_ENTRY(15)};
#undef GFX_MASK_ENTRY
