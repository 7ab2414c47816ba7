// The wide BVH's builder: a binned-SAH binary tree over the valid triangles
// (those far flatter than the rest set apart under the root), collapsed by
// surface area into eight-wide nodes, leaves packed into four-triangle
// blocks.
#ifndef GFX_RT_WIDE_BVH_BUILDER_H
#define GFX_RT_WIDE_BVH_BUILDER_H

#include "gfxRTWideBVHLayout.h"
#include "gfxRayTracing.h"

namespace gfx_detail {

// A built tree's arrays (from large_block_alloc) and counts. node_count is 0,
// with both arrays null, when no triangle is valid.
struct WideBuildOutput {
    WideNode* nodes;
    TriangleBlock* blocks;
    unsigned int node_count;
    unsigned int block_count;
    unsigned int leaf_count;
    unsigned int depth;
    unsigned int kept; // valid triangles
    float scene_lo[3]; // the box of the valid triangles
    float scene_hi[3];
};

// Whether the kernel can ever hit the record: every coordinate finite and a
// non-zero cross product of its edges.
bool wide_triangle_is_valid(const triAccel& tri);

// The length a triangle's slop divides (wide_slop_of): its shortest edge, or
// its least altitude over sin(15 degrees) when that is shorter; never above
// the true value.
float wide_rounding_length(const triAccel& tri);

// What every child box is padded by, for the valid triangles' box [lo, hi]:
// a margin above what the kernel's and the slab test's rounding can move a
// hit by, for rays from within the scene's reach, a fraction of the box's
// extent and of its largest coordinate.
float wide_box_pad(const float lo[3], const float hi[3]);

// Builds over count records on threads workers (at least 1). Returns false,
// with nothing allocated, when memory runs out.
bool build_wide_tree(const triAccel* triangles, unsigned int count, unsigned int threads,
                     WideBuildOutput& out);

} // namespace gfx_detail

#endif // GFX_RT_WIDE_BVH_BUILDER_H
