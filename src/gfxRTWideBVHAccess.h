// The traversals' view of a wide BVH, for the tree's own queries and for the
// scenes that trace it as a mesh.
#ifndef GFX_RT_WIDE_BVH_ACCESS_H
#define GFX_RT_WIDE_BVH_ACCESS_H

#include "gfxRTWideBVH.h"
#include "gfxRTWideBVHLayout.h"

struct gfxRTWideBVHAccess {
    static gfx_detail::WideTree view(const gfxRTWideBVH& tree) {
        return gfx_detail::WideTree{static_cast<const gfx_detail::WideNode*>(tree.nodes_),
                                    {tree.scene_lo_[0], tree.scene_lo_[1], tree.scene_lo_[2]},
                                    {tree.scene_hi_[0], tree.scene_hi_[1], tree.scene_hi_[2]},
                                    static_cast<const gfx_detail::TriangleBlock*>(tree.blocks_),
                                    tree.triangle_ids_,
                                    tree.memory_bytes() > gfx_detail::WIDE_INTERLEAVE_BYTES};
    }
};

#endif // GFX_RT_WIDE_BVH_ACCESS_H
