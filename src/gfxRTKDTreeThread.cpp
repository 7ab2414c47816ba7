#include "gfxRTKDTreeThread.h"

gfxRTKDTreeThread::gfxRTKDTreeThread(gfxRTKDTree* const tree,
                                     const gfxKDTreeCompileState* const state,
                                     const gfxRTKDTree* const parent, unsigned int seed_count)
    : tree_(tree), compile_state_(state), parent_(parent), tree_valid_(false),
      seed_count_(seed_count) {}

gfxRTKDTreeThread::gfxRTKDTreeThread(const gfxRTKDTreeThread& other)
    : ZrvGfxThread(other), tree_(other.tree_), compile_state_(other.compile_state_),
      parent_(other.parent_), tree_valid_(other.tree_valid_), seed_count_(other.seed_count_) {}

gfxRTKDTreeThread::~gfxRTKDTreeThread() {
    wait();
}

void gfxRTKDTreeThread::run() {
    if (tree_ == nullptr || parent_ == nullptr) {
        tree_valid_ = false;
        return;
    }
    tree_valid_ = tree_->create_tree_from_seed(compile_state_, parent_->proxies_, seed_count_,
                                               parent_->max_tree_depth_, &parent_->scene_bbox_);
}
