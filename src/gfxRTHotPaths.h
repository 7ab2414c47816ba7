// The tracing, binning and KD splitting hot paths, compiled twice (gfxRTHotPathsSSE2.cpp and
// gfxRTHotPathsX86_64_v3.cpp from gfxRTHotPaths.inc): once for baseline
// SSE2, once for x86-64-v3. One table of function pointers is chosen when the
// library is loaded (gfxRTDispatch.cpp); both versions give the same bits,
// since floating-point contraction is off for the whole build.
#ifndef GFX_RT_HOT_PATHS_H
#define GFX_RT_HOT_PATHS_H

#include "gfxKernelDispatch.h"
#include "gfxRTBVH.h"
#include "gfxRTKDTree.h"
#include "gfxrtbvhbuilder.h"

namespace gfx_detail {

// What the KD traversal reads of its tree, gathered by
// gfxRTKDTree::traverse_tree.
struct KDTraversal {
    const unsigned char* nodes;
    const triAccel* const* triangles;
    const KDTreeBBox* scene_bbox;
    unsigned int* stack_nodes;
    __m128* stack_t_near;
    __m128* stack_t_far;
    unsigned int number_of_nodes;
    unsigned int order[3][2];
};

// The cheapest split of a KD node found by the SAH sweep (kd_find_split).
struct KDSplitChoice {
    double cost; // 1e20 (as a float) when no candidate lies inside the node's box
    float position;
    int axis;
    bool empty_side; // one side of the split holds no object
};

// A KD node's three sorted lists, split at position on axis into the lists
// of its children (kd_split_lists). side_flags has one byte per object of
// the build, for scratch.
struct KDListSplit {
    gfxSplitCandidate* const* lists;
    const unsigned int* sizes;
    int axis;
    float position;
    unsigned char* side_flags;
    gfxSplitCandidate* const* left_lists;
    gfxSplitCandidate* const* right_lists;
    // Results, per axis: the lengths of the child lists and the objects in them.
    unsigned int left_sizes[3];
    unsigned int right_sizes[3];
    unsigned int objects_left[3];
    unsigned int objects_right[3];
};

struct HotPaths {
    unsigned int (*kd_traverse)(const KDTraversal& tree, const RayPacket& rays, HitPacket& hits,
                                const RenderState& state, float max_distance);
    // Any BVH: objects through the virtual test_object_hit.
    void (*bvh_traverse)(const gfxRTBVH& tree, const BVHNode* nodes, const int* object_order,
                         RayPacket& ray, HitPacket& hit, __m128i& hit_object,
                         const RenderState& state, float max_distance);
    // A BVH over count triAccel records, the triangle test inlined.
    void (*bvh_traverse_triangles)(const BVHNode* nodes, const int* object_order,
                                   const triAccel* triangles, unsigned int count, RayPacket& ray,
                                   HitPacket& hit, __m128i& hit_object, const RenderState& state,
                                   float max_distance);
    void (*triangle_test)(const triAccel& tri, const RayPacket& rays, unsigned int lane_mask,
                          const RenderState& state, HitPacket& hits);
    // The BVH builder's binning of positions [begin, end) along axis.
    void (*bin_objects)(const BVHBuildObject* objects, unsigned char* bins, int begin, int end,
                        int axis, double low, double factor, float* bin_costs, BVHBBox* bin_boxes);
    // The same over [begin, middle) and [middle, end) side by side, each half
    // into its own bins, so that updates of one bin by the two halves do not
    // wait on each other. The first half's bins come first when combined.
    void (*bin_objects_halves)(const BVHBuildObject* objects, unsigned char* bins, int begin,
                               int middle, int end, int axis, double low, double factor,
                               float* first_costs, BVHBBox* first_boxes, float* second_costs,
                               BVHBBox* second_boxes);
    // The SAH sweep of a KD node over its n objects' sorted lists, lists[a]
    // holding list_sizes[a] candidates; with median_only (seeding) only the
    // middle candidate of each list is evaluated.
    KDSplitChoice (*kd_find_split)(unsigned int n, const unsigned int* list_sizes,
                                   const KDTreeBBox& bbox, gfxSplitCandidate* const* lists,
                                   bool median_only);
    void (*kd_split_lists)(KDListSplit& split);
};

namespace sse2 {
extern const HotPaths table;
}
namespace x86_64_v3 {
extern const HotPaths table;
}

// The chosen table; never null (the SSE2 one until the load-time choice).
extern const HotPaths* selected_hot_paths;

inline const HotPaths& hot_paths() {
    return *__atomic_load_n(&selected_hot_paths, __ATOMIC_RELAXED);
}

// Report the KD traversal's stack check and a BVH traversal stack overflow
// (a streamed tree too deep) as the traversals' own source files.
__attribute__((noinline, cold)) void report_kd_stack_check();
__attribute__((noinline, cold)) void report_bvh_stack_overflow();

} // namespace gfx_detail

#endif // GFX_RT_HOT_PATHS_H
