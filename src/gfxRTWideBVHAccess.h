// The traversals' view of a wide BVH, for the tree's own queries and for the
// scenes that trace it as a mesh.
#ifndef GFX_RT_WIDE_BVH_ACCESS_H
#define GFX_RT_WIDE_BVH_ACCESS_H

#include "gfxRTWideBVH.h"
#include "gfxRTWideBVHLayout.h"

#include <cstddef>

struct gfxRTWideBVHAccess {
    // The tree's bytes, worked out inline: every query's view asks for them.
    static std::size_t memory_bytes(const gfxRTWideBVH& tree) {
        return std::size_t(tree.node_count_) * sizeof(gfx_detail::WideNode) +
               std::size_t(tree.block_count_) * sizeof(gfx_detail::TriangleBlock) +
               (tree.triangle_ids_ != nullptr ? std::size_t(tree.input_count_) * sizeof(int) : 0);
    }

    static unsigned int block_count(const gfxRTWideBVH& tree) { return tree.block_count_; }

    static gfx_detail::WideTree view(const gfxRTWideBVH& tree) {
        return gfx_detail::WideTree{static_cast<const gfx_detail::WideNode*>(tree.nodes_),
                                    {tree.scene_lo_[0], tree.scene_lo_[1], tree.scene_lo_[2]},
                                    {tree.scene_hi_[0], tree.scene_hi_[1], tree.scene_hi_[2]},
                                    static_cast<const gfx_detail::TriangleBlock*>(tree.blocks_),
                                    tree.triangle_ids_,
                                    tree.uniform_slop_,
                                    tree.longest_edge_,
                                    memory_bytes(tree) > gfx_detail::WIDE_INTERLEAVE_BYTES,
                                    tree.children_adjacent_};
    }
};

#endif // GFX_RT_WIDE_BVH_ACCESS_H
