// The scene's top level: a wide BVH in the mesh trees' node format over the
// placed instances' world boxes, built by the wide BVH's binned-SAH binary
// builder and collapsed so that every leaf is one instance.
#ifndef GFX_RT_WIDE_SCENE_TOP_LEVEL_H
#define GFX_RT_WIDE_SCENE_TOP_LEVEL_H

#include "gfxRTWideSceneLayout.h"
#include "gfxRTWideSceneTransform.h"

namespace gfx_detail {

// A built top level's arrays (from large_block_alloc): node 0 the root, and
// the placed instances in the order the leaves name them.
struct TopLevel {
    WideNode* nodes; // null when no instance was given
    PlacedInstance* placed;
    unsigned int node_count;
    unsigned int placed_count;
    float scene_lo[3]; // the union of the instances' boxes
    float scene_hi[3];
    unsigned int capacity; // instances the two arrays have room for
};

// Rebuilds top over count instances, bounds[i] bounding instances[i]'s
// hits, on threads workers (at least 1), in top's arrays when they have room:
// a scene that moves commits the same instances frame after frame, and on
// virtual machines the first touch of fresh huge pages costs more than the
// build. Returns false, with top freed, when memory runs out.
bool build_top_level(const PlacedInstance* instances, const InstanceBounds* bounds,
                     unsigned int count, unsigned int threads, TopLevel& top);

void free_top_level(TopLevel& top);

} // namespace gfx_detail

#endif // GFX_RT_WIDE_SCENE_TOP_LEVEL_H
