// Whether a wide BVH's single-ray walks may widen every child box by one
// slop, the tree's largest, instead of each child's own: the widening then
// folds into each ray's terms once, and a face's distance takes one fused
// operation after the node's loads instead of two, a step shorter on the
// chain from a node's loads to the next node's that a walk waits on. Also
// the tree's longest edge, which the narrower widening's bound takes
// (directed_reach2 in gfxRTWideKernels.inc).
#ifndef GFX_RT_WIDE_UNIFORM_SLOP_H
#define GFX_RT_WIDE_UNIFORM_SLOP_H

#include "gfxRTWideBVHLayout.h"

namespace gfx_detail {

// The tree's largest slop when at least half of its children's slops are
// within a factor two of it (a mesh of even triangles), so that widening
// every box by it costs little; 0 (each child's own) otherwise, as when a
// few slivers set apart make the largest.
float wide_uniform_slop(const WideNode* nodes, unsigned int node_count);

// The longest edge of the blocks' triangles, rounded up (0 for none).
float wide_longest_edge(const TriangleBlock* blocks, unsigned int block_count);

} // namespace gfx_detail

#endif // GFX_RT_WIDE_UNIFORM_SLOP_H
