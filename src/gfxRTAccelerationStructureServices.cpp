#include "gfxRTAccelerationStructureServices.h"

#include "gfxRTKDTreeThread.h"

#include <new>

namespace {

enum CompileResult {
    COMPILED = 0,
    NULL_ARGUMENT = 1,
    SEEDING_FAILED = 2,
    SUBTREE_FAILED = 3,
    MERGE_FAILED = 4
};

// CompileBVHTree's code for a build whose consistency check failed.
const int BVH_BUILD_FAILED = 2;

} // namespace

gfxRTAccelerationStructureServices::~gfxRTAccelerationStructureServices() {}

int gfxRTAccelerationStructureServices::CompileKDTree(gfxRTKDTree* tree, int number_of_threads,
                                                      const triAccel* triangles,
                                                      unsigned int count) {
    if (tree == nullptr || triangles == nullptr)
        return NULL_ARGUMENT;
    int code = COMPILED;
    bool fallback = false;
    unsigned int n = gfxRTKDTree::get_possible_number_of_seeds(unsigned(number_of_threads));
    if (n > MAX_KDTREE_SEEDS)
        n = MAX_KDTREE_SEEDS;
    tree->reset(0);
    if (n <= 1) {
        tree->create_tree_from_triAccel_list(triangles, count);
        return COMPILED;
    }

    gfxKDTreeCompileState* seeds[MAX_KDTREE_SEEDS] = {};
    gfxRTKDTree* subtrees[MAX_KDTREE_SEEDS] = {};
    gfxRTKDTreeThread* threads[MAX_KDTREE_SEEDS] = {};
    if (!tree->create_seed_notes_from_triAccel_list(triangles, count, n, seeds)) {
        code = SEEDING_FAILED;
        fallback = true;
    } else {
        for (unsigned int i = 0; i < n; ++i) {
            subtrees[i] = new (std::nothrow) gfxRTKDTree(1);
            threads[i] = new (std::nothrow) gfxRTKDTreeThread(subtrees[i], seeds[i], tree, n);
            if (threads[i] != nullptr)
                threads[i]->start();
        }
        bool all_valid = true;
        for (unsigned int i = 0; i < n; ++i) {
            if (threads[i] == nullptr) {
                all_valid = false;
                continue;
            }
            threads[i]->wait();
            if (!threads[i]->is_tree_valid())
                all_valid = false;
        }
        if (!all_valid) {
            code = SUBTREE_FAILED;
            fallback = true;
        } else if (!tree->remerge_subtrees(const_cast<const gfxRTKDTree**>(subtrees), n, count)) {
            code = MERGE_FAILED;
            fallback = true;
        }
        for (unsigned int i = 0; i < n; ++i) {
            delete threads[i];
            if (subtrees[i] != nullptr) {
                subtrees[i]->reset(0);
                delete subtrees[i];
            }
        }
    }
    for (gfxKDTreeCompileState*& seed : seeds) {
        delete seed;
        seed = nullptr;
    }
    if (fallback) {
        tree->reset(count);
        tree->create_tree_from_triAccel_list(triangles, count);
    }
    return code;
}

int gfxRTAccelerationStructureServices::CompileBVHTree(gfxRTBVH* bvh, int number_of_threads) {
    if (bvh == nullptr)
        return NULL_ARGUMENT;
    const unsigned int threads = number_of_threads > 1 ? unsigned(number_of_threads) : 1u;
    return bvh->build_tree(threads) ? COMPILED : BVH_BUILD_FAILED;
}
