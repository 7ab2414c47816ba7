#include "gfxRTWideAdjacentChildren.h"

namespace gfx_detail {

bool wide_children_adjacent(const WideNode* nodes, unsigned int node_count) {
    for (unsigned int n = 0; n < node_count; ++n) {
        const std::uint32_t* const child = nodes[n].child;
        for (std::uint32_t k = 0; k < 8; ++k) {
            const std::uint32_t ref = child[k];
            if (ref == WIDE_EMPTY_CHILD || wide_is_leaf(ref))
                continue;
            // child[0] inner: the sum cannot wrap into another reference.
            if (wide_is_leaf(child[0]) || ref != child[0] + k)
                return false;
        }
    }
    return true;
}

} // namespace gfx_detail
