// A seed of the parallel KD-tree build: a cell at the seed depth whose subtree
// is built later on a thread of its own, with private copies of its sorted
// candidate lists and of its box.
#ifndef GFX_KDTREE_COMPILE_STATE_H
#define GFX_KDTREE_COMPILE_STATE_H

#include "gfxExport.h"
#include "gfxRTKDTreeBase.h"
#include "gfxSplitCandidate.h"

struct GFX_API gfxKDTreeCompileState {
    gfxKDTreeCompileState(unsigned int number_of_objects, unsigned int node_offset,
                          gfxSplitCandidate* const lists[3], const unsigned int sizes[3],
                          const KDTreeBBox* bbox, unsigned int depth,
                          gfxSplitCandidateMemoryManager::ModelSize model_size);
    ~gfxKDTreeCompileState();
    gfxKDTreeCompileState(const gfxKDTreeCompileState&) = delete;
    gfxKDTreeCompileState& operator=(const gfxKDTreeCompileState&) = delete;

    unsigned int number_of_objects;
    unsigned int node_offset; // offset of the cell in the seeding tree; informative only
    gfxSplitCandidate* lists[3];
    unsigned int* list_sizes; // three lengths
    KDTreeBBox* bbox;         // null when none was given or it could not be allocated
    unsigned int depth;       // informative only
    bool valid;               // false when a list copy could not be allocated
    gfxSplitCandidateMemoryManager::ModelSize model_size;
};

#endif // GFX_KDTREE_COMPILE_STATE_H
