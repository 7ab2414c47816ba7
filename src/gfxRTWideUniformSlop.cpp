#include "gfxRTWideUniformSlop.h"

#include <algorithm>
#include <cmath>
#include <emmintrin.h>
#include <limits>

namespace gfx_detail {

float wide_uniform_slop(const WideNode* nodes, unsigned int node_count) {
    float largest = 0.0f;
    for (unsigned int n = 0; n < node_count; ++n)
        for (int k = 0; k < 8; ++k)
            if (nodes[n].child[k] != WIDE_EMPTY_CHILD && nodes[n].slop[k] > largest)
                largest = nodes[n].slop[k];
    // An overflowed slop (a triangle shrunk to float's least scale) leaves
    // the widening to each child.
    if (!(largest < std::numeric_limits<float>::infinity()))
        return 0.0f;
    unsigned long long used = 0, near_largest = 0;
    for (unsigned int n = 0; n < node_count; ++n) {
        for (int k = 0; k < 8; ++k) {
            if (nodes[n].child[k] == WIDE_EMPTY_CHILD)
                continue;
            ++used;
            near_largest += nodes[n].slop[k] >= 0.5f * largest ? 1u : 0u;
        }
    }
    return 2 * near_largest >= used ? largest : 0.0f;
}

float wide_longest_edge(const TriangleBlock* blocks, unsigned int block_count) {
    // Four lanes at a time in float: each step rounds by a unit roundoff at
    // most, which the margin below covers many times over. An unused lane's
    // NaN loses to the running maximum, its second operand; a length that
    // overflows gives infinity, with which every ray keeps its widening.
    __m128 longest2 = _mm_setzero_ps();
    for (unsigned int b = 0; b < block_count; ++b) {
        const TriangleBlock& block = blocks[b];
        for (int k = 0; k < 3; ++k) {
            const int next = k == 2 ? 0 : k + 1;
            __m128 length2 = _mm_setzero_ps();
            for (int a = 0; a < 3; ++a) {
                const __m128 step =
                    _mm_sub_ps(_mm_load_ps(block.vertex[next][a]), _mm_load_ps(block.vertex[k][a]));
                length2 = _mm_add_ps(length2, _mm_mul_ps(step, step));
            }
            longest2 = _mm_max_ps(length2, longest2);
        }
    }
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, longest2);
    const double largest = std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
    const float longest = float(std::sqrt(largest) * (1.0 + 1.0 / 65536.0));
    return std::nextafter(longest, std::numeric_limits<float>::infinity());
}

} // namespace gfx_detail
