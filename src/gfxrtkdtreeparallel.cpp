// The parallel KD-tree build: seeding of the top levels, subtree builds from
// seeds, and the merge of the subtrees into one node array.
//
// Merged layout: bytes 0-7 unused; the n - 1 top inner nodes in breadth-first
// order (node k at 8k, its pair at 16k); the n subtree roots in seed order;
// then the n subtree bodies in seed order.
#include "gfxRTKDTree.h"

#include "gfxAlignedMemory.h"
#include "gfxKDTreeNodeWords.h"
#include "gfxMath.h"
#include "PlxSystem.h"

#include <cstdlib>
#include <cstring>
#include <new>

unsigned int gfxRTKDTree::get_possible_number_of_seeds(unsigned int number_of_threads) {
    return gfx::nextSmallerPower(number_of_threads);
}

bool gfxRTKDTree::create_seed_notes_from_triAccel_list(const triAccel* triangles,
                                                       unsigned int count, unsigned int n,
                                                       gfxKDTreeCompileState** seeds) {
    if (memory_manager_ == nullptr)
        return false;
    start_build_statistics();
    if (gfx::nearestPower(n) != n || n < 2)
        return false;
    bool result = false;
    collect_seeds_ = true;
    seeds_ = seeds;
    number_of_seeds_ = 0;
    if (count > 0 && count <= MAX_TRIANGLES) {
        first_triangle_ = triangles;
        max_tree_depth_ = compute_tree_depth(count);
        current_tree_depth_ = 0;
        seed_depth_ = gfx::computeLog(n);
        std::free(proxies_);
        proxies_ = static_cast<const ObjectProxy**>(std::malloc(count * sizeof(ObjectProxy*)));
        if (proxies_ != nullptr)
            std::memset(proxies_, 0, count * sizeof(ObjectProxy*));
        delete[] leaf_proxies_;
        leaf_proxies_ = new (std::nothrow) const ObjectProxy*[count];
        if (proxies_ != nullptr && leaf_proxies_ != nullptr &&
            setup_tree_lists(triangles, proxies_, count)) {
            // The pool of the seeding run is sized for 2n levels of lists.
            max_tree_depth_ = 2 * n;
            unsigned int sizes[3];
            if (setup_split_candidate_lists(count, sizes)) {
                max_tree_depth_ = compute_tree_depth(count);
                gfxSplitCandidate* lists[3];
                memory_manager_->get_initial_lists(lists);
                result = build_sub_tree_sah(count, 8, sizes, &scene_bbox_, 0, lists);
            }
            max_tree_depth_ = compute_tree_depth(count);
            memory_manager_->release_all();
        }
        if (number_of_seeds_ != n) {
            result = false;
        } else {
            for (unsigned int i = 0; i < n; ++i)
                if (seeds[i] == nullptr || !seeds[i]->valid)
                    result = false;
        }
    }
    statistic_.number_of_objects = count;
    collect_seeds_ = false;
    return result;
}

bool gfxRTKDTree::create_tree_from_seed(const gfxKDTreeCompileState* state,
                                        const ObjectProxy** proxies, unsigned int n,
                                        unsigned int parent_max_depth,
                                        const KDTreeBBox* const scene_bbox) {
    if (state == nullptr || scene_bbox == nullptr || memory_manager_ == nullptr)
        return false;
    const unsigned int m = state->number_of_objects;
    bool ok = false;
    if (m == 0) {
        number_of_nodes_ = 1;
        node_array_size_ = 16;
        gfx_aligned_free(node_array_);
        node_array_ = static_cast<unsigned char*>(gfx_aligned_malloc(16, NODE_ALIGNMENT));
        if (node_array_ != nullptr) {
            next_free_node_ = 16;
            next_free_object_ = 0;
            ok = create_leaf(0, 8);
            statistic_.average_objects_per_cell = 0.0;
        }
        proxies_ = nullptr;
        return ok;
    }

    number_of_nodes_ = 0;
    node_array_size_ = 32 * m;
    gfx_aligned_free(node_array_);
    node_array_ = static_cast<unsigned char*>(gfx_aligned_malloc(32 * m, NODE_ALIGNMENT));
    object_array_size_ = 3 * m;
    gfx_aligned_free(triangles_);
    triangles_ =
        static_cast<const triAccel**>(gfx_aligned_malloc(3 * m * unsigned(sizeof(triAccel*)), 16));
    next_free_node_ = 16;
    next_free_object_ = 0;
    max_tree_depth_ = parent_max_depth - gfx::computeLog(n);
    proxies_ = proxies;
    current_tree_depth_ = 0;
    delete[] leaf_proxies_;
    leaf_proxies_ = new (std::nothrow) const ObjectProxy*[m];
    if (node_array_ != nullptr && triangles_ != nullptr && leaf_proxies_ != nullptr &&
        state->list_sizes != nullptr) {
        const unsigned int* sizes = state->list_sizes;
        unsigned int longest = sizes[0];
        if (sizes[1] > longest)
            longest = sizes[1];
        if (sizes[2] > longest)
            longest = sizes[2];
        ok = memory_manager_->init(longest, state->lists, max_tree_depth_, state->list_sizes, true,
                                   state->model_size);
        if (ok) {
            gfxSplitCandidate* lists[3];
            memory_manager_->get_initial_lists(lists);
            scene_bbox_ = *scene_bbox;
            const float volume = (scene_bbox_.bbmax[0] - scene_bbox_.bbmin[0]) *
                                 (scene_bbox_.bbmax[1] - scene_bbox_.bbmin[1]) *
                                 (scene_bbox_.bbmax[2] - scene_bbox_.bbmin[2]);
            min_cell_volume_ = volume / min_volume_divisor_;
            ok = build_sub_tree_sah(m, 8, state->list_sizes, state->bbox, 0, lists);
        }
        memory_manager_->release_all();
        statistic_.average_objects_per_cell /= statistic_.number_of_leaves;
    }
    proxies_ = nullptr;
    return ok;
}

bool gfxRTKDTree::remerge_subtrees(const gfxRTKDTree** subtrees, unsigned int n,
                                   unsigned int count) {
    static_cast<void>(count); // the count of proxies; they go as one block
    delete_proxies();
    release_build_scratch();

    if (n > MAX_THREADS)
        return false; // the per-seed bases below hold MAX_THREADS entries
    // Sizes are summed in 64 bits: merged arrays whose byte sizes would not
    // fit 32 bits make the merge fail before anything is copied.
    const unsigned long long max_bytes = 0xFFFFFFFFull;
    unsigned long long total = next_free_object_;
    unsigned long long bytes = next_free_node_ + 8ull * n;
    for (unsigned int i = 0; i < n; ++i) {
        total += subtrees[i]->next_free_object_;
        bytes += subtrees[i]->next_free_node_;
    }
    if (total * sizeof(triAccel*) > max_bytes || bytes > max_bytes)
        return false;

    // Objects: the subtrees' object arrays one after the other.
    if (total > object_array_size_) {
        void* grown = gfx_aligned_realloc(triangles_, object_array_size_ * sizeof(triAccel*),
                                          unsigned(total * sizeof(triAccel*)), 16);
        if (grown == nullptr)
            return false;
        triangles_ = static_cast<const triAccel**>(grown);
        object_array_size_ = unsigned(total);
    }
    if (triangles_ == nullptr)
        return false;
    unsigned int object_base[MAX_THREADS];
    unsigned int base = next_free_object_;
    for (unsigned int i = 0; i < n; ++i) {
        object_base[i] = base;
        if (subtrees[i]->next_free_object_ > 0)
            std::memcpy(triangles_ + base, subtrees[i]->triangles_,
                        subtrees[i]->next_free_object_ * sizeof(triAccel*));
        base += subtrees[i]->next_free_object_;
    }
    // The seeding's array may hold more entries than the subtrees fill.
    for (unsigned int i = base; i < object_array_size_; ++i)
        triangles_[i] = nullptr;

    // Nodes: room for the top tree, the roots and the bodies.
    if (bytes > node_array_size_) {
        void* grown =
            gfx_aligned_realloc(node_array_, node_array_size_, unsigned(bytes), NODE_ALIGNMENT);
        if (grown == nullptr)
            return false;
        node_array_ = static_cast<unsigned char*>(grown);
        node_array_size_ = unsigned(bytes);
    }
    if (node_array_ == nullptr)
        return false;

    // The top tree in breadth-first order: node k at 8k with its pair at 16k.
    unsigned char* scratch =
        static_cast<unsigned char*>(gfx_aligned_malloc(next_free_node_, NODE_ALIGNMENT));
    if (scratch == nullptr)
        return false;
    std::memset(scratch, 0, next_free_node_);
    {
        PlxRawCollint queue(int(2 * n));
        queue.Append(8);
        int position = 1;
        for (unsigned int target = 8; target < 8 * n; target += 8) {
            const unsigned int old_offset = unsigned(queue[position++]);
            const unsigned int w = gfx_detail::node_word(node_array_, old_offset);
            gfx_detail::write_node_word(scratch, target, (w & 3) + target);
            gfx_detail::write_node_word(scratch, target + 4,
                                        gfx_detail::node_word(node_array_, old_offset + 4));
            const unsigned int old_pair = old_offset + (w & gfx_detail::PAIR_OFFSET_MASK);
            queue.Append(int(old_pair));
            queue.Append(int(old_pair + 8));
        }
        queue.RemoveAll(PlxCollec::ReleaseMemory);
    }
    std::memcpy(node_array_, scratch, next_free_node_);
    gfx_aligned_free(scratch);

    // Subtree roots, then their bodies.
    unsigned int body_start[MAX_THREADS];
    unsigned int body_end[MAX_THREADS];
    for (unsigned int i = 0; i < n; ++i)
        std::memcpy(node_array_ + 8 * (number_of_nodes_ + 1 + i), subtrees[i]->node_array_ + 8, 8);
    unsigned int p = 8 * (number_of_nodes_ + 1 + n);
    for (unsigned int i = 0; i < n; ++i) {
        body_start[i] = p;
        const unsigned int end = subtrees[i]->next_free_node_;
        if (end > 16) {
            std::memcpy(node_array_ + p, subtrees[i]->node_array_ + 16, end - 16);
            p += end - 16;
        }
        body_end[i] = p;
    }

    // Roots point at their bodies (a root's pair is its body's first pair);
    // leaves move to their subtree's object range. Inner nodes of a body keep
    // their words: each body moved as one block.
    for (unsigned int i = 0; i < n; ++i) {
        const unsigned int root = 8 * (n + i);
        const unsigned int w = gfx_detail::node_word(node_array_, root);
        if (w & gfx_detail::LEAF_FLAG)
            gfx_detail::write_node_word(node_array_, root,
                                        gfx_detail::LEAF_FLAG |
                                            (object_base[i] + (w & ~gfx_detail::LEAF_FLAG)));
        else
            gfx_detail::write_node_word(node_array_, root, (w & 3) + (body_start[i] - root));
        for (unsigned int node = body_start[i]; node < body_end[i]; node += 8) {
            const unsigned int word = gfx_detail::node_word(node_array_, node);
            if (word & gfx_detail::LEAF_FLAG)
                gfx_detail::write_node_word(node_array_, node,
                                            gfx_detail::LEAF_FLAG |
                                                (object_base[i] + (word & ~gfx_detail::LEAF_FLAG)));
        }
    }

    // Statistics of the subtrees; the mean is the plain mean of their means.
    statistic_.max_objects_in_cell = 0;
    statistic_.tree_depth = 0;
    for (unsigned int i = 0; i < n; ++i) {
        const KDTreeStatistic& s = subtrees[i]->statistic_;
        number_of_nodes_ += subtrees[i]->number_of_nodes_;
        statistic_.average_objects_per_cell += s.average_objects_per_cell;
        statistic_.number_of_empty_cells += s.number_of_empty_cells;
        statistic_.number_of_leaves += s.number_of_leaves;
        if (s.max_objects_in_cell > statistic_.max_objects_in_cell)
            statistic_.max_objects_in_cell = s.max_objects_in_cell;
        if (s.tree_depth > statistic_.tree_depth)
            statistic_.tree_depth = s.tree_depth;
    }
    statistic_.average_objects_per_cell /= n;
    statistic_.tree_depth += gfx::computeLog(n);

    if (!allocate_traversal_stacks())
        return false;
    statistic_.compile_time_sec = seconds_since_build_start();
    statistic_.valid = true;
    return true;
}
