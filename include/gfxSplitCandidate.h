// Split candidates of the SAH build and the pool their lists come from.
#ifndef GFX_SPLIT_CANDIDATE_H
#define GFX_SPLIT_CANDIDATE_H

#include "gfxExport.h"
#include "PlxSystem.h"

// One box boundary of one object on one axis.
struct gfxSplitCandidate {
    enum EventType { START_EVENT = 0, PLANAR_EVENT = 1, END_EVENT = 2 };

    float position;
    unsigned int type : 2;          // EventType
    unsigned int object_index : 30; // index into the build's proxy array
};
static_assert(sizeof(gfxSplitCandidate) == 8, "gfxSplitCandidate is two words");

// qsort comparator: ascending position, then type (start, planar, end), then
// object index. Positions that compare neither less nor greater (equal, or a
// NaN involved) are decided by type and index.
GFX_API int compare_split_candidates(const void* a, const void* b);

// The pool of candidate lists of one build. Lists are handed out in triples
// (x, y, z) under one index. Three storage models:
//   small:  a stack of equal blocks of list_length candidates;
//   medium: first fit over index intervals of one large array per axis;
//   large:  one allocation per list, optionally from a private heap.
class GFX_API gfxSplitCandidateMemoryManager {
public:
    enum ModelSize { MODEL_SMALL = 0, MODEL_MEDIUM = 1, MODEL_LARGE = 2 };

    gfxSplitCandidateMemoryManager();
    // The pool owns its arrays: it is not copied.
    gfxSplitCandidateMemoryManager(const gfxSplitCandidateMemoryManager&) = delete;
    gfxSplitCandidateMemoryManager& operator=(const gfxSplitCandidateMemoryManager&) = delete;
    virtual ~gfxSplitCandidateMemoryManager();

    // Chooses the model, allocates the arrays and copies the root lists
    // (sizes[a] candidates of lists[a]) to index 0. False only when even the
    // large model cannot hold the root lists.
    bool init(unsigned int list_length, gfxSplitCandidate* const lists[3], unsigned int depth,
              unsigned int* sizes, bool use_private_heap, ModelSize model);
    void get_initial_lists(gfxSplitCandidate** lists_out);
    // Three lists of at least size candidates; a result >= get_max_index() is a failure.
    unsigned int get_free_space(gfxSplitCandidate** lists_out, unsigned int size);
    void release_space(gfxSplitCandidate* const* lists, unsigned int index);
    void release_all();

    ModelSize get_model_size() const { return model_size_; }
    unsigned int get_max_index() const { return max_index_; }

private:
    struct PrivateHeap;

    unsigned int get_free_space(unsigned int size);
    bool allocate_arrays(unsigned int capacity, gfxSplitCandidate* const lists[3],
                         const unsigned int* sizes);
    void free_arrays();

    PlxRawCollint block_intervals_;
    PlxRawCollint free_blocks_;
    gfxSplitCandidate* lists_[3];
    unsigned int max_index_;
    ModelSize model_size_;
    bool released_;
    PrivateHeap* heap_;
};

#endif // GFX_SPLIT_CANDIDATE_H
