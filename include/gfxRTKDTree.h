// The KD-tree over the host's triangles: set-up, serial and parallel builds,
// and packet traversal.
#ifndef GFX_RT_KDTREE_H
#define GFX_RT_KDTREE_H

#include "gfxExport.h"
#include "gfxKDTreeCompileState.h"
#include "gfxRTKDTreeSAH.h"
#include "gfxRayTracing.h"
#include "gfxStream.h"

class gfxRTKDTreeThread;
class gfxRTAccelerationStructureServices;

class GFX_API gfxRTKDTree : public gfxRTKDTreeSAH {
public:
    // Largest number of threads that may trace one tree at the same time.
    static const unsigned int MAX_THREADS = 64;
    // Largest number of triangles a tree is built over: node and object
    // arrays are sized and addressed with 32-bit byte offsets (32 bytes of
    // nodes per triangle to begin with). Larger builds fail.
    static const unsigned int MAX_TRIANGLES = 0xFFFFFFFFu / 32;

    // One rendering thread's traversal stack: max_tree_depth_ + 2 entries.
    struct TraversalStack {
        unsigned int* node_offsets;
        __m128* t_near;
        __m128* t_far;
    };

    // number_of_threads: how many threads may trace the tree at the same time
    // (each with its own RenderState::thread_index); at most MAX_THREADS.
    explicit gfxRTKDTree(unsigned int number_of_threads);
    gfxRTKDTree(const gfxRTKDTree&) = delete;
    gfxRTKDTree& operator=(const gfxRTKDTree&) = delete;
    ~gfxRTKDTree() override;

    // Frees the arrays and stacks, and the proxies an interrupted build left
    // alive (number_of_proxies of them; they are released as one block, so
    // any count serves). Statistics and box stay.
    void reset(unsigned int number_of_proxies);
    // Complete serial build over triangles[0 .. count - 1].
    bool create_tree_from_triAccel_list(const triAccel* triangles, unsigned int count);

    // Nearest hits of the active lanes of rays. All active lanes must share
    // the direction sign bits of reference_lane on every axis. Returns the
    // triangle count of the last non-empty leaf visited.
    unsigned int traverse_tree(const RayPacket* rays, HitPacket* hits, unsigned int reference_lane,
                               const RenderState* const state, float max_distance) const;

    // Saving and restoring. The stream holds the counters, the scene box, the
    // build properties, the statistics, the node words and the object entries
    // as indices into the triangle array at first_triangle_ (-1 for none), so
    // a tree can be read back over the same triangles at another address.
    // stream always returns true. unstream needs set_first_triangle first and
    // fails on a token that does not match, on counts whose arrays would not
    // fit 32-bit sizes, and when an array cannot be allocated.
    bool stream(gfxStreamWriter& writer) const;
    bool unstream(gfxStreamReader& reader);
    // As unstream, but also refuses, before allocating anything for them, a
    // node or object count above max_values and a depth limit above
    // max_depth. max_values bounds what the stream can still deliver (a byte
    // stream's remaining size serves), so that a short stream cannot make the
    // tree allocate or read far more than its own size.
    bool unstream_bounded(gfxStreamReader& reader, unsigned long long max_values,
                          unsigned int max_depth);

    const ObjectProxy** get_proxies() const { return proxies_; }
    const triAccel** get_triAccel_array() const { return triangles_; }
    void set_first_triangle(const triAccel* first) { first_triangle_ = first; }
    unsigned int get_number_of_threads() const { return number_of_threads_; }

    // Writes the tree's statistics, then a VRML97 fragment (a Group with one
    // IndexedFaceSet) drawing the split planes of the first seven levels as
    // translucent magenta rectangles, each line indented by at least indent
    // blanks. An empty or unbuilt tree writes nothing. verbose has no effect.
    void debug(gfxJournal& journal, bool verbose, int indent) const override;

    // Parallel build (gfxRTAccelerationStructureServices::CompileKDTree runs
    // these in order). The seed count: the largest power of two not above
    // number_of_threads.
    static unsigned int get_possible_number_of_seeds(unsigned int number_of_threads);
    // Builds the top levels, splitting at median events, and records every
    // cell below depth log2(number_of_seeds) as a seed in seeds[0 ..
    // number_of_seeds - 1]. False unless exactly that many valid seeds result.
    bool create_seed_notes_from_triAccel_list(const triAccel* triangles, unsigned int count,
                                              unsigned int number_of_seeds,
                                              gfxKDTreeCompileState** seeds);
    // On a fresh one-thread tree: builds the subtree of one seed, borrowing the
    // seeding tree's proxies.
    bool create_tree_from_seed(const gfxKDTreeCompileState* state, const ObjectProxy** proxies,
                               unsigned int number_of_seeds, unsigned int parent_max_depth,
                               const KDTreeBBox* const scene_bbox);
    // Moves the seed subtrees into this seeded tree: the top tree breadth
    // first, then the subtree roots, then their bodies, in seed order.
    bool remerge_subtrees(const gfxRTKDTree** subtrees, unsigned int number_of_seeds,
                          unsigned int count);

protected:
    using gfxRTKDTreeBase::debug_node;
    // Writes the corners of the split planes in the subtree at node_offset,
    // whose cell is bbox, one corner per line indented by indent blanks,
    // depth first, lower child first. node_counter counts the nodes visited,
    // plane_counter the planes written, dump_depth the inner nodes on the
    // path (planes are written while it is below 8; an inner node reached
    // with 256 on the path is reported as invalid instead of followed).
    virtual void debug_node(unsigned int node_offset, unsigned int& node_counter,
                            const KDTreeBBox* bbox, unsigned int& plane_counter,
                            unsigned int& dump_depth, gfxJournal& journal, bool verbose,
                            int indent) const;

    bool setup_tree_lists(const triAccel* triangles, const ObjectProxy** proxies,
                          unsigned int count);
    bool setup_split_candidate_lists(unsigned int count, unsigned int* sizes) override;

private:
    friend class gfxRTKDTreeThread;
    // The checked loaders validate the arrays of a tree they have read.
    friend class gfxRTAccelerationStructureServices;

    enum UnstreamOutcome {
        UNSTREAM_DONE,
        UNSTREAM_NO_TRIANGLE_ARRAY,
        UNSTREAM_TOKEN_MISMATCH,
        UNSTREAM_TOO_LARGE,
        UNSTREAM_OUT_OF_MEMORY
    };
    UnstreamOutcome read_stream(gfxStreamReader& reader, unsigned long long max_values,
                                unsigned int max_depth);

    bool store_leaf_data(unsigned int count, unsigned int first) override;

    static void merge_lists(gfxSplitCandidate* out, gfxSplitCandidate* const lists[2],
                            unsigned int* const sizes);
    bool allocate_traversal_stacks();
    void free_traversal_stacks();
    void delete_proxies();

    const triAccel** triangles_;
    const triAccel* first_triangle_;
    TraversalStack stacks_[MAX_THREADS];
    unsigned int number_of_threads_;
    // Storage of the build's proxies and their boxes (proxies_ points into it).
    ObjectProxy* proxy_block_;
    KDTreeBBox* box_block_;
};

#endif // GFX_RT_KDTREE_H
