// The serial BVH builder: a top-down binned surface-area split.
//
// Every node's objects are binned into 16 bins by their box centres along the
// widest axis of the centre bounds; the bin boundary with the lowest cost
// (area times summed object cost, left plus right) splits them, in place.
// Ranges of fewer than 5 objects become leaves. Nodes come from an explicit
// stack, never from recursion.
#ifndef GFX_RT_BVH_BUILDER_H
#define GFX_RT_BVH_BUILDER_H

#include "gfxRTBVH.h"

#include <xmmintrin.h>

// One object's box and centre. The records are kept in the order of the
// positions of object_order_ and move with it when a range is partitioned, so
// that every pass over a range reads memory front to back. The centre's
// fourth lane holds the object's intersection cost: box operations carry that
// lane along but never read it.
struct BVHBuildObject {
    __m128 bbmin;
    __m128 bbmax;
    __m128 centroid;
};

static_assert(sizeof(BVHBuildObject) == 48, "BVHBuildObject size");

// Box of two four-lane corners; the default box is empty (1e20 / -1e20), so
// that the first union with a real box yields that box.
struct BVHBBox {
    __m128 bbmin;
    __m128 bbmax;

    BVHBBox() : bbmin(_mm_set1_ps(1e20f)), bbmax(_mm_set1_ps(-1e20f)) {}
    void grow(__m128 low, __m128 high) {
        bbmin = _mm_min_ps(bbmin, low);
        bbmax = _mm_max_ps(bbmax, high);
    }
    // Widest axis of the box (x before y before z on equal extents) and the
    // box's bounds along it.
    void get_largest_axis(int& axis, float& min, float& max) const;
    // 2 (dx dy + dx dz + dy dz) in single precision.
    float surface_area() const;
};

// The record of object i of tree.
inline void make_build_object(const gfxRTBVH& tree, unsigned int i, BVHBuildObject& o) {
    __m128 bbmin = _mm_setzero_ps();
    __m128 bbmax = _mm_setzero_ps();
    tree.get_object_bbox(i, bbmin, bbmax);
    o.bbmin = bbmin;
    o.bbmax = bbmax;
    // The cost travels in the centre's fourth lane, which nothing else reads.
    alignas(16) float centroid[4];
    _mm_store_ps(centroid, _mm_mul_ps(_mm_add_ps(bbmin, bbmax), _mm_set1_ps(0.5f)));
    centroid[3] = tree.get_object_intersection_cost(i);
    o.centroid = _mm_load_ps(centroid);
}

// Swaps positions i and j of the object order and of the records.
inline void swap_build_objects(int* order, BVHBuildObject* objects, int i, int j) {
    const int o = order[i];
    order[i] = order[j];
    order[j] = o;
    const BVHBuildObject record = objects[i];
    objects[i] = objects[j];
    objects[j] = record;
}

// A pending node of a build: its id, its range of positions [begin, end) of
// the object order, and its depth below the tree's root.
struct BVHBuildRange {
    int id;
    int begin;
    int end;
    int depth;
};

// Passes over one node's range that a builder may share out among threads.
// Each gives exactly the result of the builder's own pass, or returns false,
// having changed nothing, when it cannot; the builder then runs its own.
class BVHRangePasses {
public:
    virtual bool compute_bounds(int begin, int end, BVHBBox& box, BVHBBox& centroid_box) = 0;
    virtual bool bin_objects(int begin, int end, int axis, double low, double factor,
                             float* bin_costs, BVHBBox* bin_boxes) = 0;
    // The builder's two-ended partition of [begin, end) at bin: objects of
    // lower bins first; split receives the first position of the others.
    virtual bool partition_objects(int begin, int end, int bin, int& split) = 0;

protected:
    ~BVHRangePasses() = default;
};

class gfxRTBVHBuilder {
public:
    static const int BIN_COUNT = 16;
    // Ranges of fewer objects are never split.
    static const int MIN_SPLIT_OBJECTS = 5;
    // Most objects a leaf can hold (num_triangles is a signed 16-bit field).
    static const int MAX_LEAF_OBJECTS = 32767;
    // Largest object count whose arrays stay within 32-bit byte sizes
    // (2N - 1 nodes of 32 bytes).
    static const unsigned int MAX_OBJECTS = 1u << 26;
    // Deepest level at which a node may split. Every explicit stack of the
    // BVH (this builder's, the traversal's, the dump's) holds 64 entries; a
    // tree whose inner nodes lie no deeper than this never needs more, so a
    // deeper range ends as a leaf.
    static const int MAX_SPLIT_DEPTH = 62;

    explicit gfxRTBVHBuilder(gfxRTBVH* tree);
    gfxRTBVHBuilder(const gfxRTBVHBuilder&) = delete;
    gfxRTBVHBuilder& operator=(const gfxRTBVHBuilder&) = delete;
    virtual ~gfxRTBVHBuilder();

    // Builds into *nodes (allocated here, shrunk to the nodes made) and hands
    // the object order to the tree. Returns the node count, 0 on failure.
    unsigned int compile(BVHNode** nodes);

protected:
    virtual unsigned int build_nodes();
    // Subtree over positions [begin, end) of object_order_, root at nodes[0],
    // which lies root_depth levels below the tree's root. Returns the number
    // of nodes written.
    unsigned int build_sub_tree(BVHNode* nodes, int begin, int end, int root_depth = 0);

    // Fills build_objects_ from the tree's object operations.
    virtual void compute_build_objects();
    void compute_bounds(int begin, int end, BVHBBox& box, BVHBBox& centroid_box) const;
    bool find_split(const BVHBBox& centroid_box, int begin, int end, int& split, int& axis,
                    BVHRangePasses* passes);
    static int find_best_bin(const float bin_costs[BIN_COUNT], const BVHBBox bin_boxes[BIN_COUNT]);
    int partition_objects(int begin, int end, int bin);
    // Writes the node of range into nodes. When it splits, children receives
    // the two child ranges, ids next_node and next_node + 1 (the left one,
    // lower bins, first), and the result is true. passes, when given, runs
    // the passes over the range's records.
    bool make_node(BVHNode* nodes, const BVHBuildRange& range, int next_node,
                   BVHBuildRange children[2], BVHRangePasses* passes = nullptr);

    unsigned int number_of_objects_;
    BVHNode* node_array_;
    int* object_order_;
    BVHBuildObject* build_objects_;
    unsigned char* object_bins_;
    gfxRTBVH* tree_;

private:
    void release_arrays();
};

#endif // GFX_RT_BVH_BUILDER_H
