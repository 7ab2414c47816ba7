// Every hit of a batch of rays, as flat arrays (gfxRTWideBVH::list_batch,
// gfxRTWideScene::list_batch).
//
// Entry k is one hit: ray[k] the ray's position in the batch, t[k], index[k]
// (the triangle's position in its mesh's array), instance[k] (the instance
// for a scene, -1 for a single tree) and u[k], v[k] as gfxRTWideHit has them.
// Entries are sorted by ray, then t, then instance, then triangle, so a list
// does not depend on the tree, the thread count or the kernel version.
//
// The library owns the arrays: one block, released by
// gfxRTWideHitListRelease, which leaves an empty list.
#ifndef GFX_RT_WIDE_HIT_LIST_H
#define GFX_RT_WIDE_HIT_LIST_H

#include "gfxExport.h"

#include <cstddef>

struct gfxRTWideHitList {
    std::size_t count = 0;
    unsigned int* ray = nullptr;
    float* t = nullptr;
    int* index = nullptr;
    int* instance = nullptr;
    float* u = nullptr;
    float* v = nullptr;
    void* block = nullptr; // what the arrays live in
};

GFX_API void gfxRTWideHitListRelease(gfxRTWideHitList& list);

#endif // GFX_RT_WIDE_HIT_LIST_H
