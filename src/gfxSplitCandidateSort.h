// Sorting of candidate lists in the order of compare_split_candidates.
#ifndef GFX_SPLIT_CANDIDATE_SORT_H
#define GFX_SPLIT_CANDIDATE_SORT_H

#include "gfxSplitCandidate.h"

#include <cstdint>
#include <cstring>

namespace gfx_detail {

// Sorts list[0..count) into the order of compare_split_candidates. Lists
// without NaN positions are radix sorted on a 64-bit key that encodes exactly
// that order; the rest go through qsort with the comparator itself. Returns
// false when scratch memory cannot be had (the list is then unchanged).
bool sort_split_candidates(gfxSplitCandidate* list, unsigned int count);

// -1, 0 or 1 as a's position is below, equal to (or unordered with) or above b's.
int compare_split_candidate_positions(const void* a, const void* b);

// Sorts list[0..count) by position only. The sort is stable, so candidates of
// equal position keep the order in which they were made (by object, and start
// before end within an object). False when scratch memory cannot be had.
bool sort_split_candidates_by_position(gfxSplitCandidate* list, unsigned int count);

// Appends the events of one object's box on one axis: a planar event when
// the box is flat there, else a start and an end event.
inline unsigned int append_box_events(gfxSplitCandidate* list, unsigned int size, float lo,
                                      float hi, unsigned int object_index) {
    gfxSplitCandidate c;
    c.object_index = object_index;
    if (hi == lo) {
        c.position = lo;
        c.type = gfxSplitCandidate::PLANAR_EVENT;
        list[size++] = c;
    } else {
        c.position = lo;
        c.type = gfxSplitCandidate::START_EVENT;
        list[size++] = c;
        c.position = hi;
        c.type = gfxSplitCandidate::END_EVENT;
        list[size++] = c;
    }
    return size;
}

} // namespace gfx_detail

#endif // GFX_SPLIT_CANDIDATE_SORT_H
