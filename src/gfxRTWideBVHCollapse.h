// The binary tree collapsed into the wide one: each wide node takes the
// binary nodes below one inner node, largest area first, until it has eight
// children; leaves become runs of four-triangle blocks. Nodes and blocks are
// written in depth-first order, so the layout does not depend on the
// workers that write it.
#ifndef GFX_RT_WIDE_BVH_COLLAPSE_H
#define GFX_RT_WIDE_BVH_COLLAPSE_H

#include "gfxRTWideBVHBuildTypes.h"
#include "gfxRTWideBVHLayout.h"
#include "gfxRayTracing.h"

class ZrvGfxTaskManager;

namespace gfx_detail {

struct WideTreeSize {
    unsigned int nodes;
    unsigned int blocks;
};

struct CollapseSource {
    const BinaryNode* binary; // node 0 the root
    const PrimRef* refs;
    const triAccel* triangles; // the host's records, for the blocks' floats
    float pad;                 // added around every child box
};

// The children of a wide node: binary nodes below the inner node root,
// opened largest area first until there are eight or none can be opened.
// Returns their count.
unsigned int collect_children(const BinaryNode* nodes, std::uint32_t root,
                              std::uint32_t (&children)[8]);

// The nodes and blocks the wide tree of source will need.
WideTreeSize measure_wide_tree(const BinaryNode* binary);

// Writes the wide tree into nodes and blocks (sized by measure_wide_tree).
// With a pool, the root's subtrees are written by its workers. Returns the
// depth in wide nodes; leaves receives the count of leaf children.
unsigned int collapse_wide_tree(const CollapseSource& source, WideNode* nodes,
                                TriangleBlock* blocks, ZrvGfxTaskManager* pool,
                                unsigned int& leaves);

} // namespace gfx_detail

#endif // GFX_RT_WIDE_BVH_COLLAPSE_H
