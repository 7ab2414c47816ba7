// Parallel set-up of the root candidate lists: one sorting thread per range
// of objects, then a pairwise merge per axis.
#include "gfxRTKDTree.h"

#include "gfxRTKDTreeSortingThread.h"

#include <new>

namespace {

const unsigned int PARALLEL_SORT_MIN_OBJECTS = 1000;

} // namespace

void gfxRTKDTree::merge_lists(gfxSplitCandidate* out, gfxSplitCandidate* const lists[2],
                              unsigned int* const sizes) {
    unsigned int i = 0, j = 0, o = 0;
    const gfxSplitCandidate* a = lists[0];
    const gfxSplitCandidate* b = lists[1];
    while (i < sizes[0] && j < sizes[1]) {
        // On equal positions the candidate of the later list comes first.
        if (b[j].position <= a[i].position)
            out[o++] = b[j++];
        else
            out[o++] = a[i++];
    }
    while (i < sizes[0])
        out[o++] = a[i++];
    while (j < sizes[1])
        out[o++] = b[j++];
}

bool gfxRTKDTree::setup_split_candidate_lists(unsigned int count, unsigned int* sizes) {
    if (count < PARALLEL_SORT_MIN_OBJECTS || number_of_threads_ < 2 ||
        number_of_threads_ > MAX_THREADS)
        return setup_split_candidate_lists_serial(count, sizes);

    const unsigned int thread_count = number_of_threads_;
    const unsigned int share = count / thread_count;
    gfxSplitCandidate* slots[MAX_THREADS][3] = {};
    unsigned int thread_sizes[MAX_THREADS][3] = {};
    gfxRTKDTreeSortingThread* threads[MAX_THREADS] = {};
    for (unsigned int t = 0; t < thread_count; ++t) {
        const unsigned int first = t * share;
        const unsigned int end = t + 1 == thread_count ? count : (t + 1) * share;
        threads[t] = new (std::nothrow) gfxRTKDTreeSortingThread(
            proxies_, first, end, &slots[t][0], &slots[t][1], &slots[t][2], thread_sizes[t]);
    }
    for (unsigned int t = 0; t < thread_count; ++t)
        if (threads[t] != nullptr)
            threads[t]->start();
    bool ok = true;
    for (unsigned int t = 0; t < thread_count; ++t) {
        if (threads[t] == nullptr) {
            ok = false;
            continue;
        }
        threads[t]->wait();
        ok = ok && slots[t][0] != nullptr && slots[t][1] != nullptr && slots[t][2] != nullptr;
    }

    gfxSplitCandidate* final_lists[3] = {nullptr, nullptr, nullptr};
    gfxSplitCandidate* scratch = nullptr;
    bool result = false;
    if (ok) {
        unsigned int longest = 0;
        for (int axis = 0; axis < 3; ++axis) {
            sizes[axis] = 0;
            for (unsigned int t = 0; t < thread_count; ++t)
                sizes[axis] += thread_sizes[t][axis];
            if (sizes[axis] > longest)
                longest = sizes[axis];
            final_lists[axis] = new (std::nothrow) gfxSplitCandidate[sizes[axis] + 1];
            ok = ok && final_lists[axis] != nullptr;
        }
        scratch = new (std::nothrow) gfxSplitCandidate[longest + 1];
        ok = ok && scratch != nullptr;
        if (ok) {
            for (int axis = 0; axis < 3; ++axis) {
                // Merge the ranges in order; destinations alternate so that the
                // last merge lands in the final list.
                gfxSplitCandidate* current = slots[0][axis];
                unsigned int current_size = thread_sizes[0][axis];
                for (unsigned int t = 1; t < thread_count; ++t) {
                    gfxSplitCandidate* destination =
                        (thread_count - 1 - t) % 2 == 0 ? final_lists[axis] : scratch;
                    gfxSplitCandidate* const pair[2] = {current, slots[t][axis]};
                    unsigned int pair_sizes[2] = {current_size, thread_sizes[t][axis]};
                    merge_lists(destination, pair, pair_sizes);
                    current = destination;
                    current_size += thread_sizes[t][axis];
                }
            }
            if (memory_manager_ != nullptr)
                result = memory_manager_->init(longest, final_lists, max_tree_depth_, sizes, false,
                                               gfxSplitCandidateMemoryManager::MODEL_SMALL);
        }
    }
    delete[] scratch;
    for (unsigned int t = 0; t < thread_count; ++t)
        delete threads[t]; // frees the thread's lists
    for (gfxSplitCandidate* list : final_lists)
        delete[] list;
    return result;
}
