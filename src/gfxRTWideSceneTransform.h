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
};

// Bounds the hits of a mesh whose triangles lie in hull and whose tree's
// largest slop is mesh_slop, placed by transform with the inverse the
// queries carry rays by.
InstanceBounds bound_instance(const float* transform, const float* inverse, const MeshHull& hull,
                              float mesh_slop);

// The box of hull carried by transform, rounded outwards: it holds every
// triangle of the mesh so carried (gfxRTWideScene::instance_bounds).
void carried_hull_box(const float* transform, const MeshHull& hull, float lo[3], float hi[3]);

} // namespace gfx_detail

#endif // GFX_RT_WIDE_SCENE_TRANSFORM_H
