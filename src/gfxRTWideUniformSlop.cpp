#include "gfxRTWideUniformSlop.h"

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

} // namespace gfx_detail
