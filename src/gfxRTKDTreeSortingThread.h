// A worker of the parallel set-up of the root candidate lists: makes and
// sorts (by position) the candidates of one range of objects.
#ifndef GFX_RT_KDTREE_SORTING_THREAD_H
#define GFX_RT_KDTREE_SORTING_THREAD_H

#include "ZrvGfxConcurrency.h"
#include "gfxRTKDTreeBase.h"
#include "gfxSplitCandidate.h"

class gfxRTKDTreeSortingThread : public ZrvGfxThread {
public:
    // The lists made by run() are stored through slot_x/y/z and live as long
    // as this object; their lengths go to sizes[0..2].
    gfxRTKDTreeSortingThread(const gfxRTKDTreeBase::ObjectProxy* const* proxies, unsigned int first,
                             unsigned int end, gfxSplitCandidate** slot_x,
                             gfxSplitCandidate** slot_y, gfxSplitCandidate** slot_z,
                             unsigned int* sizes);
    gfxRTKDTreeSortingThread(const gfxRTKDTreeSortingThread&) = delete;
    gfxRTKDTreeSortingThread& operator=(const gfxRTKDTreeSortingThread&) = delete;

    void run() override;
    ~gfxRTKDTreeSortingThread() override;

private:
    const gfxRTKDTreeBase::ObjectProxy* const* proxies_;
    unsigned int first_object_;
    unsigned int end_object_;
    gfxSplitCandidate** list_out_[3];
    unsigned int* sizes_out_;
};

#endif // GFX_RT_KDTREE_SORTING_THREAD_H
