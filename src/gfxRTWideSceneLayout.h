// What the scene's traversals read: the top level, a wide BVH in the mesh
// trees' node format whose leaves are runs of placed instances, and each
// placed instance's committed inverse and mesh.
#ifndef GFX_RT_WIDE_SCENE_LAYOUT_H
#define GFX_RT_WIDE_SCENE_LAYOUT_H

#include "gfxRTWideBVHLayout.h"

#include <cstdint>

namespace gfx_detail {

// One instance as the queries see it after a commit. A top-level leaf
// reference names a run of these: wide_leaf_first is the first, and
// wide_leaf_blocks the count.
struct alignas(64) PlacedInstance {
    float inverse[12];    // world to object space, row-major 3x4
    const WideTree* mesh; // never an empty tree
    std::uint32_t instance;
};

static_assert(sizeof(PlacedInstance) == 64, "PlacedInstance size");

// Most instances a top-level leaf holds.
const unsigned int SCENE_LEAF_INSTANCES = 8;

struct WideSceneView {
    const WideNode* nodes; // null when nothing can be hit
    float scene_lo[3];     // the box of every placed instance, for the rays' reach
    float scene_hi[3];
    const PlacedInstance* placed;
};

// A batch's instance results beside its rays (gfxRTWideScene::intersect_batch).
struct WideSceneBatch {
    const float* origins;
    const float* directions;
    const float* max_distances; // null: no limit
    float* t;
    int* index;
    int* instance; // may be null
    float* u;      // may be null
    float* v;      // may be null
    unsigned char* occluded;
};

} // namespace gfx_detail

#endif // GFX_RT_WIDE_SCENE_LAYOUT_H
