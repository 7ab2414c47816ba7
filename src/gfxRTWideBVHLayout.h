// The wide BVH's node and triangle-block formats, one for every kernel
// version, so that trees and hits do not depend on the processor.
#ifndef GFX_RT_WIDE_BVH_LAYOUT_H
#define GFX_RT_WIDE_BVH_LAYOUT_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace gfx_detail {

// Eight children, their boxes lane by lane: bounds[2 * axis] holds the lower
// and bounds[2 * axis + 1] the upper face of every child along axis. An
// unused slot has NaN bounds, which fail every box test.
//
// The kernel decides which side of an edge a ray passes on from products of
// coordinates relative to the ray's origin, so a ray from farther away may be
// taken as hitting a triangle it passes near, by up to about
// (its distance)^2 * ulp / (the edge's length), and past the corners of a
// triangle with a vertex near the opposite edge's line by up to about
// (its distance)^2 * ulp / (the least altitude). slop holds, per child,
// WIDE_SLOP_FACTOR / (the least rounding length below it: a triangle's
// shortest edge, or its least altitude over sin(15 degrees) when that is
// shorter); a ray moves each face of the child out by slop times the
// square of its farthest distance to the scene, or by a narrower square that
// still bounds the kernel's rounding in its direction (directed_reach2 in
// gfxRTWideKernels.inc), so that no triangle the kernel would hit is culled.
// One case is beyond any box: from a point almost in a triangle's plane, a
// ray running almost along that plane leaves the kernel's signs to rounding
// alone, and it may take the ray as hitting the triangle far outside it.
// The widening covers such hits only as far as its margin reaches.
//
// A child reference is a node index, or a leaf: LEAF_BIT, the block count
// less one in the LEAF_COUNT bits, and the first block below them.
struct alignas(32) WideNode {
    float bounds[6][8];
    float slop[8];
    std::uint32_t child[8];
};

// 2^-23, twice the unit roundoff. Measured on rays aimed at edges from up to
// ten times the scene's size away: none differs from the brute force, where
// the padding alone let about one in 140 through; from thirty times, 18 in
// 3,000 still do. Every ray pays for it, since its reach is taken to the
// farthest corner of the scene.
const float WIDE_SLOP_FACTOR = 1.0f / 8388608.0f;

// The slop of a child whose least rounding length (wide_rounding_length) is
// rounding_length: rounded up past the division's rounding, and the largest
// float rather than infinity for a length of a denormal size.
inline float wide_slop_of(float rounding_length) {
    const float slop = WIDE_SLOP_FACTOR / rounding_length;
    return slop < std::numeric_limits<float>::max()
               ? std::nextafter(slop, std::numeric_limits<float>::max())
               : std::numeric_limits<float>::max();
}

const std::uint32_t WIDE_LEAF_BIT = 0x80000000u;
const unsigned int WIDE_LEAF_COUNT_SHIFT = 27;
const std::uint32_t WIDE_LEAF_COUNT_MASK = 0xFu; // 1 to 16 blocks
const std::uint32_t WIDE_LEAF_FIRST_MASK = (1u << 27) - 1u;
const std::uint32_t WIDE_EMPTY_CHILD = 0u;

inline bool wide_is_leaf(std::uint32_t ref) {
    return (ref & WIDE_LEAF_BIT) != 0;
}
inline std::uint32_t wide_leaf_first(std::uint32_t ref) {
    return ref & WIDE_LEAF_FIRST_MASK;
}
inline std::uint32_t wide_leaf_blocks(std::uint32_t ref) {
    return ((ref >> WIDE_LEAF_COUNT_SHIFT) & WIDE_LEAF_COUNT_MASK) + 1u;
}
inline std::uint32_t wide_leaf_ref(std::uint32_t first_block, std::uint32_t blocks) {
    return WIDE_LEAF_BIT | ((blocks - 1u) << WIDE_LEAF_COUNT_SHIFT) | first_block;
}

// An unused child slot, as the builder and the loader write it.
inline void wide_clear_slot(WideNode& node, unsigned int k) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int b = 0; b < 6; ++b)
        node.bounds[b][k] = nan;
    node.slop[k] = 0.0f;
    node.child[k] = WIDE_EMPTY_CHILD;
}

// Four triangles lane by lane, with exactly the floats of their triAccel
// records: vertex[k][axis] is vertex k, normal[axis] the record's normal.
// index holds the host position with the record's flags in its top bits; an
// unused lane has NaN coordinates, which the kernel never hits.
struct alignas(16) TriangleBlock {
    float vertex[3][3][4];
    float normal[3][4];
    std::uint32_t index[4];
};

const std::uint32_t WIDE_BACKFACE_BIT = 0x80000000u;     // backface_early_out != 0
const std::uint32_t WIDE_CASTS_SHADOW_BIT = 0x40000000u; // casts_shadow != 0
const std::uint32_t WIDE_INDEX_MASK = 0x3FFFFFFFu;

// An unused lane, as the builder and the loader write it.
inline void wide_clear_lane(TriangleBlock& block, unsigned int lane) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int k = 0; k < 3; ++k)
        for (int a = 0; a < 3; ++a)
            block.vertex[k][a][lane] = nan;
    for (int a = 0; a < 3; ++a)
        block.normal[a][lane] = nan;
    block.index[lane] = WIDE_INDEX_MASK;
}

// The deepest tree the traversal stacks hold: each level pushes at most
// seven entries.
const unsigned int WIDE_MAX_DEPTH = 72;
const unsigned int WIDE_STACK_SIZE = 7 * WIDE_MAX_DEPTH + 1;

static_assert(sizeof(WideNode) == 256, "WideNode size");
static_assert(sizeof(TriangleBlock) == 208, "TriangleBlock size");

// What the traversals read of a tree.
struct WideTree {
    const WideNode* nodes; // null for an empty tree
    float scene_lo[3];     // the box of every triangle, for the rays' reach
    float scene_hi[3];
    const TriangleBlock* blocks;
    const int* triangle_ids;
    // Every child's slop is at most this, and the single-ray walks widen
    // every box by it (gfxRTWideUniformSlop.h); 0: by each child's own.
    float uniform_slop;
    // The longest edge of any triangle, rounded up: bounds the part of the
    // kernel's rounding that grows with one coordinate, not two
    // (directed_reach2).
    float longest_edge;
    // Trace several rays at once, a step of each in turn: it overlaps their
    // waits for memory, which pays on trees too large for the caches and
    // costs time on the others.
    bool interleave;
    // Each node's inner children are consecutive nodes from its slot 0 on
    // (gfxRTWideAdjacentChildren.h).
    bool children_adjacent;
};

// Trees of more bytes than this interleave their rays.
const std::size_t WIDE_INTERLEAVE_BYTES = std::size_t(16) << 20;

} // namespace gfx_detail

#endif // GFX_RT_WIDE_BVH_LAYOUT_H
