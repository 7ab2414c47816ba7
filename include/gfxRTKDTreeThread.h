// A worker of the parallel KD-tree build: builds the subtree of one seed into
// a tree object of its own.
#ifndef GFX_RT_KDTREE_THREAD_H
#define GFX_RT_KDTREE_THREAD_H

#include "ZrvGfxConcurrency.h"
#include "gfxExport.h"
#include "gfxKDTreeCompileState.h"
#include "gfxRTKDTree.h"

class GFX_API gfxRTKDTreeThread : public ZrvGfxThread {
public:
    // tree: the fresh object that receives the subtree; state: the seed;
    // parent: the tree being compiled (read only); seed_count: seeds of the build.
    gfxRTKDTreeThread(gfxRTKDTree* const tree, const gfxKDTreeCompileState* const state,
                      const gfxRTKDTree* const parent, unsigned int seed_count);
    gfxRTKDTreeThread(const gfxRTKDTreeThread& other);
    gfxRTKDTreeThread& operator=(const gfxRTKDTreeThread&) = delete;

    void run() override;
    ~gfxRTKDTreeThread() override;

    bool is_tree_valid() const { return tree_valid_; }

private:
    gfxRTKDTree* tree_;
    const gfxKDTreeCompileState* compile_state_;
    const gfxRTKDTree* parent_;
    bool tree_valid_;
    unsigned int seed_count_;
};

#endif // GFX_RT_KDTREE_THREAD_H
