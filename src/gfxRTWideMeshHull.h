// A convex polytope around a mesh's triangles, for the world boxes of its
// placed instances: the box of the polytope's corners carried by a
// transform holds every triangle so carried, and for a rotated instance it
// is far tighter than the box of the mesh's carried box (up to sqrt(3)
// times narrower along an axis), so that fewer rays enter instances they
// then miss.
#ifndef GFX_RT_WIDE_MESH_HULL_H
#define GFX_RT_WIDE_MESH_HULL_H

#include "gfxRTWideBVHLayout.h"

namespace gfx_detail {

// The polytope is cut by 26 planes, normal to the axes, the face diagonals
// and the body diagonals; such a polytope has at most 2 * 26 - 4 corners.
const unsigned int WIDE_HULL_MAX_CORNERS = 48;

struct alignas(16) MeshHull {
    // x, y and z of each corner; an odd count's last corner is repeated
    // after it, so that corners can be read two at a time.
    double corner[3][WIDE_HULL_MAX_CORNERS];
    unsigned int corner_count;
    double largest[3]; // the corners' largest |x|, |y| and |z|
    // Every triangle lies within slack, along each axis, of the corners'
    // hull: corners that close are kept once.
    double slack;
};

// The hull of the triangles in blocks[0, count) (unused lanes, with NaN
// coordinates, left out), which lie in the box [lo, hi]. When the polytope
// cannot be worked out (coordinates so large that their sums overflow), the
// hull is the box's eight corners.
void hull_of_blocks(const TriangleBlock* blocks, unsigned int count, const float* lo,
                    const float* hi, MeshHull& hull);

} // namespace gfx_detail

#endif // GFX_RT_WIDE_MESH_HULL_H
