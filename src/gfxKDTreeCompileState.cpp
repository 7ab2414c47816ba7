#include "gfxKDTreeCompileState.h"

#include <cstdlib>
#include <cstring>
#include <new>

gfxKDTreeCompileState::gfxKDTreeCompileState(unsigned int number_of_objects_,
                                             unsigned int node_offset_,
                                             gfxSplitCandidate* const lists_[3],
                                             const unsigned int sizes[3], const KDTreeBBox* bbox_,
                                             unsigned int depth_,
                                             gfxSplitCandidateMemoryManager::ModelSize model_size_)
    : number_of_objects(number_of_objects_),
      node_offset(node_offset_), lists{nullptr, nullptr, nullptr}, list_sizes(nullptr),
      bbox(nullptr), depth(depth_), valid(true), model_size(model_size_) {
    if (bbox_ != nullptr)
        bbox = new (std::nothrow) KDTreeBBox(*bbox_);
    list_sizes = new (std::nothrow) unsigned int[3];
    if (list_sizes == nullptr) {
        valid = false;
        return;
    }
    for (int axis = 0; axis < 3; ++axis) {
        list_sizes[axis] = sizes[axis];
        const std::size_t bytes = std::size_t(sizes[axis]) * sizeof(gfxSplitCandidate);
        lists[axis] = static_cast<gfxSplitCandidate*>(std::malloc(bytes > 0 ? bytes : 1));
        if (lists[axis] == nullptr)
            valid = false;
        else if (bytes > 0)
            std::memcpy(lists[axis], lists_[axis], bytes);
    }
}

gfxKDTreeCompileState::~gfxKDTreeCompileState() {
    delete bbox;
    delete[] list_sizes;
    for (gfxSplitCandidate*& list : lists) {
        std::free(list);
        list = nullptr;
    }
}
