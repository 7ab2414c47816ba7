// The surface-area-heuristic build of a KD-tree over abstract objects.
//
// The build is recursive and depth first over three candidate lists per node
// (one per axis), sorted once at the root. A split hands each child its lists
// through one stable pass, so lists below the root are never sorted again.
// Objects are seen only through ObjectProxy records; the objects of a finished
// leaf are handed to the derived class through store_leaf_data.
#ifndef GFX_RT_KDTREE_SAH_H
#define GFX_RT_KDTREE_SAH_H

#include "gfxExport.h"
#include "gfxKDTreeCompileState.h"
#include "gfxRTKDTreeBase.h"
#include "gfxSplitCandidate.h"

class GFX_API gfxRTKDTreeSAH : public gfxRTKDTreeBase {
public:
    gfxRTKDTreeSAH();
    // A tree owns its arrays and its candidate pool: it is not copied.
    gfxRTKDTreeSAH(const gfxRTKDTreeSAH&) = delete;
    gfxRTKDTreeSAH& operator=(const gfxRTKDTreeSAH&) = delete;
    ~gfxRTKDTreeSAH() override;

protected:
    // Builds the subtree of the node at node_offset over number_of_objects
    // objects whose sorted lists are lists[0..2] (lengths list_sizes[0..2],
    // pool index list_index) and whose cell is bbox.
    bool build_sub_tree_sah(unsigned int number_of_objects, unsigned int node_offset,
                            const unsigned int* list_sizes, const KDTreeBBox* bbox,
                            unsigned int list_index, gfxSplitCandidate* const* lists);

    // Makes the root's three sorted lists from proxies_ and hands them to the pool.
    virtual bool setup_split_candidate_lists(unsigned int number_of_objects,
                                             unsigned int* list_sizes);
    // Writes a leaf for leaf_proxies_[0..number_of_objects - 1].
    virtual bool create_leaf(unsigned int number_of_objects, unsigned int node_offset);

private:
    // Stores the objects of leaf_proxies_[0..number_of_objects - 1] at object
    // entries first, first + 1, ...
    virtual bool store_leaf_data(unsigned int number_of_objects, unsigned int first) = 0;

protected:
    // Depth limit of a build over number_of_objects objects.
    virtual unsigned int compute_tree_depth(unsigned int number_of_objects) const;

    // Makes, sorts and pools the root lists of the objects in proxies_ (the
    // serial set-up, also the fallback of derived versions).
    bool setup_split_candidate_lists_serial(unsigned int number_of_objects,
                                            unsigned int* list_sizes);
    // Frees the leaf scratch lists of the last build.
    void release_build_scratch();

    const ObjectProxy** proxies_;
    const ObjectProxy** leaf_proxies_;
    gfxKDTreeCompileState** seeds_;
    bool collect_seeds_;
    unsigned int number_of_seeds_;
    unsigned int seed_depth_;
    gfxSplitCandidateMemoryManager* memory_manager_;

private:
    bool ensure_side_flags(unsigned int number_of_objects, const unsigned int* list_sizes,
                           gfxSplitCandidate* const* lists);
    void gather_leaf_objects(unsigned int list_size, const gfxSplitCandidate* x_list);
    bool make_leaf(unsigned int number_of_objects, unsigned int node_offset, unsigned int list_size,
                   const gfxSplitCandidate* x_list);

    // Per-object classification against the split plane of the node being
    // distributed (bit 0: box starts below the plane, bit 1: box ends at or
    // below it), indexed like proxies_.
    unsigned char* side_flags_;
    unsigned int side_flags_size_;
};

#endif // GFX_RT_KDTREE_SAH_H
