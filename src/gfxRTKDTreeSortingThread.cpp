#include "gfxRTKDTreeSortingThread.h"

#include "gfxSplitCandidateSort.h"

#include <new>

gfxRTKDTreeSortingThread::gfxRTKDTreeSortingThread(
    const gfxRTKDTreeBase::ObjectProxy* const* proxies, unsigned int first, unsigned int end,
    gfxSplitCandidate** slot_x, gfxSplitCandidate** slot_y, gfxSplitCandidate** slot_z,
    unsigned int* sizes)
    : proxies_(proxies), first_object_(first), end_object_(end), list_out_{slot_x, slot_y, slot_z},
      sizes_out_(sizes) {}

gfxRTKDTreeSortingThread::~gfxRTKDTreeSortingThread() {
    wait();
    for (gfxSplitCandidate** slot : list_out_) {
        if (slot != nullptr) {
            delete[] * slot;
            *slot = nullptr;
        }
    }
    proxies_ = nullptr;
    sizes_out_ = nullptr;
}

void gfxRTKDTreeSortingThread::run() {
    const unsigned int k = end_object_ - first_object_;
    for (int axis = 0; axis < 3; ++axis) {
        *list_out_[axis] = new (std::nothrow) gfxSplitCandidate[2 * std::size_t(k) + 1];
        sizes_out_[axis] = 0;
    }
    if (*list_out_[0] == nullptr || *list_out_[1] == nullptr || *list_out_[2] == nullptr)
        return; // the caller sees a missing list and fails the set-up
    for (unsigned int i = first_object_; i < end_object_; ++i) {
        const KDTreeBBox& box = *proxies_[i]->bbox;
        for (int axis = 0; axis < 3; ++axis)
            sizes_out_[axis] = gfx_detail::append_box_events(*list_out_[axis], sizes_out_[axis],
                                                             box.bbmin[axis], box.bbmax[axis], i);
    }
    for (int axis = 0; axis < 3; ++axis) {
        if (!gfx_detail::sort_split_candidates_by_position(*list_out_[axis], sizes_out_[axis])) {
            delete[] * list_out_[axis];
            *list_out_[axis] = nullptr;
        }
    }
}
