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
    double built_cost;     // top_level_cost when it was built
};

// Rebuilds top over count instances, bounds[i] bounding instances[i]'s
// hits, on threads workers (at least 1), in top's arrays when they have room:
// a scene that moves commits the same instances frame after frame, and on
// virtual machines the first touch of fresh huge pages costs more than the
// build. Returns false, with top freed, when memory runs out.
bool build_top_level(const PlacedInstance* instances, const InstanceBounds* bounds,
                     unsigned int count, unsigned int threads, TopLevel& top);

void free_top_level(TopLevel& top);

// Sets child slot k of node to the box lo..hi and slop.
void set_top_slot(WideNode& node, unsigned int k, const float* lo, const float* hi, float slop);
// Sets child slot k of node to the union of child's slots and their largest
// slop.
void set_top_slot_to_node(WideNode& node, unsigned int k, const WideNode& child);
// The scene's box from the root's slots, once every slot is refitted.
void finish_refit(TopLevel& top);

// The surface area heuristic's measure of how well top's tree fits its
// boxes: the sum of its slots' box areas over the scene box's, i.e. how
// many child boxes a ray crossing the scene's box at random enters. A
// refit keeps the tree while the boxes move, and this grows as they part
// from where the tree grouped them. 0 for an empty top level.
double top_level_cost(const TopLevel& top);

// Moves top's instances to new placements without rebuilding its tree:
// move(placed) updates a placed instance's inverse and returns its new
// bounds, and every node's slots become the unions of what lies below them.
// Children come after their parents in the node array, so one backward pass
// sees every child before its parent. Boxes stay conservative, so answers
// are those of a rebuilt tree; only the tree's fit to the placements ages.
template <typename Move> void refit_top_level(TopLevel& top, const Move& move) {
    for (unsigned int n = top.node_count; n-- > 0;) {
        WideNode& node = top.nodes[n];
        for (unsigned int k = 0; k < 8 && node.child[k] != WIDE_EMPTY_CHILD; ++k) {
            const std::uint32_t ref = node.child[k];
            if (wide_is_leaf(ref)) {
                const InstanceBounds& b = move(top.placed[wide_leaf_first(ref)]);
                set_top_slot(node, k, b.lo, b.hi, b.slop);
            } else {
                set_top_slot_to_node(node, k, top.nodes[ref]);
            }
        }
    }
    finish_refit(top);
}

} // namespace gfx_detail

#endif // GFX_RT_WIDE_SCENE_TOP_LEVEL_H
