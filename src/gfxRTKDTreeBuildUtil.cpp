// The split-candidate order and the pool of candidate lists.
#include "gfxSplitCandidate.h"

#include "gfxPrivateHeap.h"

#include <cstdlib>
#include <cstring>
#include <new>

int compare_split_candidates(const void* a, const void* b) {
    const gfxSplitCandidate& x = *static_cast<const gfxSplitCandidate*>(a);
    const gfxSplitCandidate& y = *static_cast<const gfxSplitCandidate*>(b);
    if (x.position < y.position)
        return -1;
    if (x.position > y.position)
        return 1;
    if (x.type != y.type)
        return x.type < y.type ? -1 : 1;
    if (x.object_index != y.object_index)
        return x.object_index < y.object_index ? -1 : 1;
    return 0;
}

struct gfxSplitCandidateMemoryManager::PrivateHeap {
    gfx_detail::PrivateHeap heap;
};

namespace {

const unsigned int LARGE_MODEL_THRESHOLD = 2600000;
const unsigned int MEDIUM_MODEL_THRESHOLD = 1300000;

} // namespace

gfxSplitCandidateMemoryManager::gfxSplitCandidateMemoryManager()
    : block_intervals_(0), free_blocks_(0), lists_{nullptr, nullptr, nullptr}, max_index_(0),
      model_size_(MODEL_SMALL), released_(false), heap_(nullptr) {}

gfxSplitCandidateMemoryManager::~gfxSplitCandidateMemoryManager() {
    if (!released_)
        release_all();
}

void gfxSplitCandidateMemoryManager::free_arrays() {
    for (gfxSplitCandidate*& list : lists_) {
        std::free(list);
        list = nullptr;
    }
}

bool gfxSplitCandidateMemoryManager::allocate_arrays(unsigned int capacity,
                                                     gfxSplitCandidate* const lists[3],
                                                     const unsigned int* sizes) {
    for (int axis = 0; axis < 3; ++axis) {
        std::free(lists_[axis]);
        lists_[axis] = static_cast<gfxSplitCandidate*>(
            std::malloc(std::size_t(capacity) * sizeof(gfxSplitCandidate)));
        if (lists_[axis] == nullptr)
            return false;
        if (sizes[axis] > 0)
            std::memcpy(lists_[axis], lists[axis],
                        std::size_t(sizes[axis]) * sizeof(gfxSplitCandidate));
    }
    return true;
}

bool gfxSplitCandidateMemoryManager::init(unsigned int list_length,
                                          gfxSplitCandidate* const lists[3], unsigned int depth,
                                          unsigned int* sizes, bool use_private_heap,
                                          ModelSize model) {
    const unsigned int n = list_length;
    released_ = false;
    if (model == MODEL_LARGE || n > LARGE_MODEL_THRESHOLD)
        model_size_ = MODEL_LARGE;
    else if (model != MODEL_SMALL || n >= MEDIUM_MODEL_THRESHOLD)
        model_size_ = MODEL_MEDIUM;
    else
        model_size_ = MODEL_SMALL;

    switch (model_size_) {
    case MODEL_SMALL:
        max_index_ = (depth + 2) * n;
        break;
    case MODEL_MEDIUM:
        max_index_ = ((depth + 2) * n) / 2;
        break;
    case MODEL_LARGE:
        max_index_ = n;
        break;
    }

    if (!allocate_arrays(max_index_, lists, sizes)) {
        model_size_ = MODEL_LARGE;
        max_index_ = n;
        if (!allocate_arrays(n, lists, sizes)) {
            free_arrays();
            return false;
        }
    }

    switch (model_size_) {
    case MODEL_SMALL:
        free_blocks_.RemoveAll(PlxCollec::ReleaseMemory);
        for (unsigned int block = depth + 1; block >= 1; --block)
            free_blocks_.Append(int(block * n));
        break;
    case MODEL_MEDIUM:
        block_intervals_.RemoveAll(PlxCollec::ReleaseMemory);
        block_intervals_.Append(0);
        block_intervals_.Append(int(n) - 1);
        break;
    case MODEL_LARGE:
        if (use_private_heap)
            heap_ = new (std::nothrow) PrivateHeap();
        break;
    }
    return true;
}

void gfxSplitCandidateMemoryManager::get_initial_lists(gfxSplitCandidate** lists_out) {
    for (int axis = 0; axis < 3; ++axis)
        lists_out[axis] = lists_[axis];
}

unsigned int gfxSplitCandidateMemoryManager::get_free_space(unsigned int size) {
    if (model_size_ == MODEL_SMALL) {
        const int count = free_blocks_.Size();
        if (count == 0)
            return max_index_;
        const unsigned int top = unsigned(free_blocks_[count]);
        free_blocks_.RemovePosition(count);
        return top;
    }
    if (model_size_ == MODEL_MEDIUM) {
        // First fit: the first gap in front of an occupied interval that is
        // large enough, else the space after the last interval.
        unsigned int start = 0;
        const int pair_count = block_intervals_.Size() / 2;
        for (int pair = 0; pair < pair_count; ++pair) {
            const int position = 2 * pair + 1;
            const unsigned int s = unsigned(block_intervals_[position]);
            const unsigned int e = unsigned(block_intervals_[position + 1]);
            if (s >= start + size) {
                if (start + size >= max_index_)
                    return max_index_;
                block_intervals_.InsertAt(position, int(start + size - 1));
                block_intervals_.InsertAt(position, int(start));
                return start;
            }
            start = e + 1;
        }
        if (start + size >= max_index_)
            return max_index_;
        block_intervals_.Append(int(start));
        block_intervals_.Append(int(start + size - 1));
        return start;
    }
    PLX_ASSERT(false);
    return 0;
}

unsigned int gfxSplitCandidateMemoryManager::get_free_space(gfxSplitCandidate** lists_out,
                                                            unsigned int size) {
    if (model_size_ == MODEL_LARGE) {
        const std::size_t bytes = std::size_t(size) * sizeof(gfxSplitCandidate);
        for (int axis = 0; axis < 3; ++axis) {
            void* list = heap_ != nullptr ? heap_->heap.allocate(bytes) : std::malloc(bytes);
            if (list == nullptr) {
                for (int given = 0; given < axis; ++given) {
                    if (heap_ != nullptr)
                        heap_->heap.release(lists_out[given]);
                    else
                        std::free(lists_out[given]);
                    lists_out[given] = nullptr;
                }
                return max_index_;
            }
            lists_out[axis] = static_cast<gfxSplitCandidate*>(list);
        }
        return 0;
    }
    const unsigned int index = get_free_space(size);
    if (index < max_index_)
        for (int axis = 0; axis < 3; ++axis)
            lists_out[axis] = lists_[axis] + index;
    return index;
}

void gfxSplitCandidateMemoryManager::release_space(gfxSplitCandidate* const* lists,
                                                   unsigned int index) {
    switch (model_size_) {
    case MODEL_SMALL:
        free_blocks_.Append(int(index));
        break;
    case MODEL_MEDIUM: {
        const int pair_count = block_intervals_.Size() / 2;
        for (int pair = 0; pair < pair_count; ++pair) {
            if (unsigned(block_intervals_[2 * pair + 1]) == index) {
                block_intervals_.RemovePosition(2 * pair + 1, 2);
                break;
            }
        }
        break;
    }
    case MODEL_LARGE:
        for (int axis = 0; axis < 3; ++axis) {
            if (lists[axis] == lists_[axis]) {
                std::free(lists_[axis]);
                lists_[axis] = nullptr;
            } else if (heap_ != nullptr) {
                heap_->heap.release(lists[axis]);
            } else {
                std::free(lists[axis]);
            }
        }
        break;
    }
}

void gfxSplitCandidateMemoryManager::release_all() {
    free_arrays();
    block_intervals_.RemoveAll(PlxCollec::ReleaseMemory);
    free_blocks_.RemoveAll(PlxCollec::ReleaseMemory);
    delete heap_;
    heap_ = nullptr;
    released_ = true;
}
