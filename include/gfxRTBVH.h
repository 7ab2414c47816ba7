// The bounding-volume hierarchy over abstract objects, and its adaptor over
// the host's triangles.
//
// gfxRTBVH is a binary tree of axis-aligned boxes over objects numbered 0 to
// N - 1. What an object is stays behind four pure virtual operations (count,
// box, cost, hit test), so one builder and one traversal serve single
// triangles and whole KD-trees alike.
#ifndef GFX_RT_BVH_H
#define GFX_RT_BVH_H

#include "gfxExport.h"
#include "gfxRTKDTree.h"
#include "gfxRTKDTreeBase.h"
#include "gfxRayTracing.h"

#include <cstddef>

class gfxJournal;
class gfxStreamReader;
class gfxStreamWriter;

// One node, 32 bytes, so that each corner reads as one aligned 16-byte vector
// (bbmin with the id word as fourth lane, bbmax with the packed word).
//   leaf (num_triangles > 0): firstTriangleID indexes the object order array
//   inner node (num_triangles == 0): children are firstChildNodeID and
//       firstChildNodeID + 1; first names the child lying first along axis
struct alignas(16) BVHNode {
    float bbmin[3];
    union {
        int firstTriangleID;
        int firstChildNodeID;
    };
    float bbmax[3];
    short num_triangles;
    unsigned char axis;
    unsigned char first;
};

static_assert(sizeof(BVHNode) == 32, "BVHNode size");
static_assert(offsetof(BVHNode, bbmin) == 0 && offsetof(BVHNode, firstTriangleID) == 12 &&
                  offsetof(BVHNode, firstChildNodeID) == 12 && offsetof(BVHNode, bbmax) == 16 &&
                  offsetof(BVHNode, num_triangles) == 28 && offsetof(BVHNode, axis) == 30 &&
                  offsetof(BVHNode, first) == 31,
              "BVHNode layout");

class GFX_API gfxRTBVH {
public:
    // Most workers a build uses; larger requests are capped.
    static const unsigned int MAX_BUILD_THREADS = 64;

    gfxRTBVH();
    // A tree owns its node and order arrays: it is not copied.
    gfxRTBVH(const gfxRTBVH&) = delete;
    gfxRTBVH& operator=(const gfxRTBVH&) = delete;
    virtual ~gfxRTBVH();

    // Nearest hits of the active lanes of ray. hit_object receives, per lane,
    // the object that produced the lane's nearest hit (the hit's id where no
    // object improved it). Lanes whose box entry is not below max_distance
    // are culled. Lane 0's direction orders the visit of every inner node.
    virtual void traverse_tree(RayPacket& ray, HitPacket& hit, __m128i& hit_object,
                               const RenderState& state, float max_distance) const;
    // Rebuilds the tree over the current objects: serially for one thread,
    // else on a pool of number_of_threads workers (at most
    // MAX_BUILD_THREADS), giving the same tree. Returns the result of the
    // consistency check.
    virtual bool build_tree(unsigned int number_of_threads);
    // "Tree Dump:" followed by every node, pre-order, indent blanks per level.
    virtual void debug(gfxJournal& journal, bool verbose, int indent) const;

    // The objects.
    virtual unsigned int get_number_of_objects() const = 0;
    // Box of object (x, y, z in lanes 0-2); outputs untouched when out of range.
    virtual void get_object_bbox(unsigned int object, __m128& bbmin, __m128& bbmax) const = 0;
    virtual float get_object_intersection_cost(unsigned int object) const = 0;
    // Records in hit the lanes of lane_mask that the object hits nearer.
    virtual void test_object_hit(unsigned int object, int lane_mask, RayPacket& ray, HitPacket& hit,
                                 const RenderState& state, float max_distance) const = 0;

    // Saves the hierarchy (not the objects). False, with nothing written,
    // when the tree has objects but no order array to cover them.
    virtual bool stream(gfxStreamWriter& writer) const;
    // Replaces the hierarchy by the one read; true when every token matched.
    virtual bool unstream(gfxStreamReader& reader);

    // The root's box, or the empty box (1e20 / -1e20 in all lanes).
    void get_tree_bbox(__m128& bbmin, __m128& bbmax) const;
    // Refreshes the statistics from the node array; null when the record
    // could not be allocated.
    const KDTreeStatistic* get_statistic() const;
    // Hands order (new[]-allocated) to the tree, which owns it from then on.
    // An array the tree already holds is not freed.
    void set_object_order(const int* order);

    const BVHNode* get_node_array() const { return node_array_; }
    unsigned int get_number_of_nodes() const { return number_of_nodes_; }
    const int* get_object_order() const { return object_order_; }
    // Entries in the order array: the object count of the last build or
    // unstream (0 when there is no order array).
    unsigned int get_object_order_size() const { return object_order_size_; }

protected:
    // Fills first of every inner node from its children's boxes.
    void calculate_node_first();
    // Reports every violated invariant through the fatal-error routine;
    // always returns true.
    bool check_tree() const;
    // True when the order array has an entry for every object, so that the
    // tree can be streamed.
    bool order_covers_objects() const;

    BVHNode* node_array_;
    unsigned int number_of_nodes_;
    const int* object_order_;
    KDTreeStatistic* statistic_;
    // False after an unstream that failed once it had changed the hierarchy:
    // what it read stays, but is not traversed. A build or a successful
    // unstream sets it again.
    bool traversable_;

private:
    friend class gfxRTBVHBuilder;
    friend class gfxRTBVHBuilderParallel;
    friend class gfxRTAccelerationStructureServices;

    // Capacity of every explicit node stack: traversal, dump and builders.
    static const int MAX_STACK_SIZE = 64;

    // Frees the node and order arrays.
    void release_tree();
    // unstream of this class, refusing node and object counts above
    // max_values before allocating for them (the checked loaders pass what
    // the stream can still deliver).
    bool read_hierarchy(gfxStreamReader& reader, unsigned long long max_values);

    unsigned int object_order_size_;
};

// A BVH whose objects are the triangles of a host-owned triAccel array.
class GFX_API gfxRTBVH_triAccel : public gfxRTBVH {
public:
    // triangles must stay alive and unchanged while the tree is used.
    gfxRTBVH_triAccel(const triAccel* triangles, unsigned int count);
    ~gfxRTBVH_triAccel() override;

    // As gfxRTBVH::traverse_tree, with this class's triangle test inlined and
    // each leaf's records prefetched; a derived class gets the base version.
    void traverse_tree(RayPacket& ray, HitPacket& hit, __m128i& hit_object,
                       const RenderState& state, float max_distance) const override;
    unsigned int get_number_of_objects() const override;
    void get_object_bbox(unsigned int object, __m128& bbmin, __m128& bbmax) const override;
    float get_object_intersection_cost(unsigned int object) const override;
    void test_object_hit(unsigned int object, int lane_mask, RayPacket& ray, HitPacket& hit,
                         const RenderState& state, float max_distance) const override;

    // The hierarchy wrapped with the triangle count; the triangles are not
    // written, the reader supplies the same array.
    bool stream(gfxStreamWriter& writer) const override;
    // Needs the triangle array set; reads the count it was saved with.
    bool unstream(gfxStreamReader& reader) override;

    const triAccel* get_triangle_array() const { return triangle_array_; }

private:
    const triAccel* triangle_array_;
    unsigned int number_of_triangles_;
};

// The top level of a two-level structure: a BVH whose objects are whole,
// already built KD-trees, which it owns.
class GFX_API gfxRTBVH_KDTree : public gfxRTBVH {
public:
    gfxRTBVH_KDTree();
    // Deletes every KD-tree handed over.
    ~gfxRTBVH_KDTree() override;

    // Appends tree as the next object and takes ownership of it. A null tree
    // or one already held is ignored. Should the array fail to grow, the
    // tree is deleted: ownership passes on the call either way. The
    // hierarchy is stale until the next build_tree.
    void addTree(gfxRTKDTree* tree);
    // The KD-tree of object i, or null.
    const gfxRTKDTree* get_tree(unsigned int i) const;

    unsigned int get_number_of_objects() const override;
    // The KD-tree's scene box.
    void get_object_bbox(unsigned int object, __m128& bbmin, __m128& bbmax) const override;
    // The KD-tree's triangle count.
    float get_object_intersection_cost(unsigned int object) const override;
    // One KD-tree traversal for the lanes of lane_mask when they agree on
    // every direction sign (the lowest lane as reference), else one per
    // lane. The ray's active_mask is restored before returning. Concurrent
    // callers need distinct state.thread_index values, each below every
    // KD-tree's thread count.
    void test_object_hit(unsigned int object, int lane_mask, RayPacket& ray, HitPacket& hit,
                         const RenderState& state, float max_distance) const override;

private:
    int number_of_trees_;
    int free_tree_slots_; // appends possible before the array must grow
    gfxRTKDTree** kd_trees_;
};

#endif // GFX_RT_BVH_H
