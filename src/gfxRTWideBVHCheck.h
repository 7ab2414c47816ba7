// The structural check of a wide BVH read from a stream: the nodes' child
// references form a tree from node 0, the leaves cover the blocks, and the
// statistics the stream gave agree with what the references describe.
#ifndef GFX_RT_WIDE_BVH_CHECK_H
#define GFX_RT_WIDE_BVH_CHECK_H

#include "gfxRTWideBVHLayout.h"

#include <cstddef>

namespace gfx_detail {

struct WideShape {
    const WideNode* nodes; // every reference already in range
    unsigned int node_count;
    unsigned int block_count;
    unsigned int leaf_count; // as the stream gave them
    unsigned int depth;
};

// Null when the shape is a tree: each node reached exactly once from node 0,
// each block in exactly one leaf, no path of more than WIDE_MAX_DEPTH nodes,
// and the leaf count and depth those of the stream. Otherwise writes the
// reason (one line) into message and returns it. A failed allocation of the
// check's marks is a refusal too.
const char* check_wide_shape(const WideShape& shape, char* message, std::size_t size);

} // namespace gfx_detail

#endif // GFX_RT_WIDE_BVH_CHECK_H
