// Whether a wide BVH's single-ray walks may find a node's inner children
// without reading their references. The builder writes the inner children
// of a node in its first slots, at consecutive nodes: child k is then node
// child[0] + k, which a walk works out from the entered slot while the node
// is tested, where a read of child[k] would wait for the test and add a
// load to the chain from a node's loads to the next node's. Trees read from
// files are checked, and walked by the references when they do not qualify.
#ifndef GFX_RT_WIDE_ADJACENT_CHILDREN_H
#define GFX_RT_WIDE_ADJACENT_CHILDREN_H

#include "gfxRTWideBVHLayout.h"

namespace gfx_detail {

// True when, in every node, every inner child k (its reference neither a
// leaf nor empty) is node child[0] + k, child[0] an inner node.
bool wide_children_adjacent(const WideNode* nodes, unsigned int node_count);

} // namespace gfx_detail

#endif // GFX_RT_WIDE_ADJACENT_CHILDREN_H
