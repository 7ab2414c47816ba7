#include "gfxSplitCandidateSort.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace gfx_detail {

void sort_split_candidates(gfxSplitCandidate* list, unsigned int count) {
    // The order is total unless a position is NaN; std::sort needs a strict
    // weak order, so lists holding a NaN take the library's qsort instead.
    for (unsigned int i = 0; i < count; ++i) {
        if (std::isnan(list[i].position)) {
            std::qsort(list, count, sizeof(gfxSplitCandidate), compare_split_candidates);
            return;
        }
    }
    std::sort(list, list + count, [](const gfxSplitCandidate& a, const gfxSplitCandidate& b) {
        return compare_split_candidates(&a, &b) < 0;
    });
}

} // namespace gfx_detail
