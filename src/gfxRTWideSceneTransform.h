// The checks and arithmetic of an instance's transform: its inverse, and
// the world box and box-test slop under which its mesh's hits stay.
#ifndef GFX_RT_WIDE_SCENE_TRANSFORM_H
#define GFX_RT_WIDE_SCENE_TRANSFORM_H

#include "gfxRTWideMeshHull.h"
#include "gfxRTWideScene.h"

namespace gfx_detail {

// add_instance's checks: DONE with the inverse written, or why the
// transform is refused (NON_FINITE_TRANSFORM or SINGULAR_TRANSFORM).
gfxRTWideInstanceResult checked_inverse(const float* transform, float inverse[12]);

// Where a placed mesh's hits can lie, for the top level's box tests.
struct InstanceBounds {
    float lo[3], hi[3]; // padded world box
    float slop;         // the box's faces move out by slop times the ray's squared reach
    // The box of the mesh's hull carried by the transform, rounded outwards:
    // it holds every triangle so carried, with no room for the queries'
    // rounding (gfxRTWideScene::instance_bounds).
    float hull_lo[3], hull_hi[3];
};

// Bounds the hits of a mesh whose triangles lie in hull and whose tree's
// largest slop is mesh_slop, placed by transform with the inverse the
// queries carry rays by.
InstanceBounds bound_instance(const float* transform, const float* inverse, const MeshHull& hull,
                              float mesh_slop);

} // namespace gfx_detail

#endif // GFX_RT_WIDE_SCENE_TRANSFORM_H
