// The binary tree collapsed into the wide one: each wide node takes the
// binary nodes below one inner node, largest area first, until it has eight
// children; leaves become runs of four-triangle blocks. A node's inner
// children take its first slots and consecutive nodes
// (gfxRTWideAdjacentChildren.h). Nodes and blocks are written in
// depth-first order, so the layout does not depend on the workers that
// write it.
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
// opened largest area first until there are eight or none can be opened,
// the inner nodes before the leaves. Returns their count.
unsigned int collect_children(const BinaryNode* nodes, std::uint32_t root,
                              std::uint32_t (&children)[8]);

// The wide subtrees, a few levels below the root, that the pool's workers
// measure and write, in depth-first order.
struct WideCollapsePlan {
    static const unsigned int kLevel = 3; // the root is at level 1
    static const unsigned int kCapacity = 64;
    unsigned int count;
    std::uint32_t root[kCapacity]; // their binary inner nodes
    WideTreeSize size[kCapacity];
};

// The nodes and blocks the wide tree of binary will need. Sets the
// rounding_length of the root and of every binary node that becomes a child
// slot, from refs. With a pool, the plan's subtrees are measured by its
// workers.
WideTreeSize measure_wide_tree(BinaryNode* binary, const PrimRef* refs, ZrvGfxTaskManager* pool,
                               WideCollapsePlan& plan);

// Writes the wide tree into nodes and blocks (sized by measure_wide_tree,
// which made plan). With a pool, the plan's subtrees are written by its
// workers. Returns the depth in wide nodes; leaves receives the count of
// leaf children.
unsigned int collapse_wide_tree(const CollapseSource& source, const WideCollapsePlan& plan,
                                WideNode* nodes, TriangleBlock* blocks, ZrvGfxTaskManager* pool,
                                unsigned int& leaves);

} // namespace gfx_detail

#endif // GFX_RT_WIDE_BVH_COLLAPSE_H
