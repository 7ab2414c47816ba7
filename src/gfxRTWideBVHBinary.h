// The binned-SAH binary tree the wide BVH is collapsed from: bins over the
// centroids of large ranges, a full sweep over small ones, split costs in
// four-triangle blocks, subtrees handed to a task pool.
#ifndef GFX_RT_WIDE_BVH_BINARY_H
#define GFX_RT_WIDE_BVH_BINARY_H

#include "gfxRTWideBVHBuildTypes.h"

class ZrvGfxTaskManager;

namespace gfx_detail {

// Builds over refs[0, count) (reordered) into nodes (room for 2 count - 1),
// node 0 the root. box and centroids bound the refs and their doubled
// centroids. The last set_apart refs, unless 0 or all, are the root's second
// subtree on their own. With a pool, large subtrees become its tasks.
// Returns the number of four-triangle blocks the leaves need.
unsigned int build_binary_tree(PrimRef* refs, unsigned int count, const Box& box,
                               const Box& centroids, unsigned int set_apart, BinaryNode* nodes,
                               ZrvGfxTaskManager* pool);

// Ranges at least this large are handed to the pool as tasks of their own.
const unsigned int kBinaryTaskThreshold = 4096;

} // namespace gfx_detail

#endif // GFX_RT_WIDE_BVH_BINARY_H
