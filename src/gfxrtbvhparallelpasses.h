// The passes of the BVH builder's top levels (bounds, binning, partition),
// shared out among the pool's workers while the caller's thread decides every
// split.
//
// A range is cut into one contiguous chunk per worker. The box folds keep the
// last of equal values (a < b ? a : b, and the same for the maximum), which
// makes them associative: chunk results combined in chunk order equal the
// fold over the whole range, signed zeros included. Two things would break
// that, so they are checked once over all records: a NaN in a box or centre
// (NaN makes the fold depend on grouping), and cost sums that are not exact
// in single precision in every grouping (all costs must be integers whose
// magnitudes add up to at most 2^24). Records that fail the check leave every
// pass to the builder's own serial code.
//
// The records themselves may be made in chunks too, with the tree's object
// operations called from the workers (the builder asks for that only for the
// library's own adaptors, whose operations only read), and that pass yields
// the check and the root's bounds.
//
// The partition gives the builder's two-ended partition exactly: that one
// swaps the k-th object of an upper bin, counted from the left among the
// positions below the split point, with the k-th object of a lower bin,
// counted from the right among the positions above it. Workers take equal
// shares of these pairs, finding their first pair from per-block counts of
// lower-bin objects.
#ifndef GFX_RT_BVH_PARALLEL_PASSES_H
#define GFX_RT_BVH_PARALLEL_PASSES_H

#include "ZrvGfxConcurrency.h"
#include "gfxrtbvhbuilder.h"

class gfxRTBVHParallelPasses final : public BVHRangePasses {
public:
    // Positions per block of the bin counts.
    static const int BLOCK_SIZE = 4096;

    gfxRTBVHParallelPasses(ZrvGfxTaskManager& pool, const gfxRTBVH& tree, BVHBuildObject* objects,
                           unsigned char* bins, int* order, unsigned int number_of_objects);
    ~gfxRTBVHParallelPasses();
    gfxRTBVHParallelPasses(const gfxRTBVHParallelPasses&) = delete;
    gfxRTBVHParallelPasses& operator=(const gfxRTBVHParallelPasses&) = delete;

    // Makes every object's record on the workers; false, with none made,
    // when it cannot.
    bool compute_build_objects();

    bool compute_bounds(int begin, int end, BVHBBox& box, BVHBBox& centroid_box) override;
    bool bin_objects(int begin, int end, int axis, double low, double factor, float* bin_costs,
                     BVHBBox* bin_boxes) override;
    bool partition_objects(int begin, int end, int bin, int& split) override;

    // One chunk's share of the current pass (run by the pool's tasks).
    void run_chunk(int chunk);

private:
    enum Pass { OBJECTS, CHECK_AND_BOUND, BOUND, BIN, PARTITION };
    struct Chunk;

    // Cuts [begin, end) into chunks of whole blocks and runs pass over them;
    // false, with no chunk run, when the tasks could not be made.
    bool run_pass(Pass pass, int begin, int end);
    // Combines the chunks' bounds and, after a checking pass, their checks.
    void combine_bounds(bool checked, BVHBBox& box, BVHBBox& centroid_box);
    void bound_chunk(Chunk& chunk, bool check) const;
    void bin_chunk(Chunk& chunk) const;
    // block_lower_ for the current range and partition_bin_.
    void count_lower_per_block();
    void partition_chunk(const Chunk& chunk) const;
    // Position of the rank-th (from 0) upper-bin object from the left, and of
    // the rank-th lower-bin object from the right, of the current range.
    int upper_from_left(int rank) const;
    int lower_from_right(int rank) const;

    ZrvGfxTaskManager& pool_;
    const gfxRTBVH& tree_;
    BVHBuildObject* objects_;
    unsigned char* bins_;
    int* order_;
    unsigned int number_of_objects_;
    unsigned int chunk_count_;
    Chunk* chunks_;
    // Per block of the range being partitioned: objects of lower bins.
    int* block_lower_;
    bool checked_;     // the records were checked (by the first, whole-range pass)
    bool exact_;       // chunked passes give the serial results
    bool binned_;      // the current range was binned here, for its partition
    bool root_bounds_; // root_box_ and root_centroid_box_ await the root's node
    BVHBBox root_box_, root_centroid_box_;

    // The pass under way.
    Pass pass_;
    int begin_, end_;
    int axis_;
    double low_, factor_;
    int partition_bin_, pair_count_;
};

#endif // GFX_RT_BVH_PARALLEL_PASSES_H
