// The triangle KD-tree: set-up, serial build, object storage and traversal.
#include "gfxRTKDTree.h"

#include "gfxAlignedMemory.h"
#include "gfxKDTreeNodeWords.h"
#include "gfxRTHotPaths.h"
#include "PlxSystem.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

inline unsigned int float_bits(float value) {
    unsigned int bits;
    std::memcpy(&bits, &value, 4);
    return bits;
}

inline float lane(__m128 v, unsigned int k) {
    alignas(16) float values[4];
    _mm_store_ps(values, v);
    return values[k & 3];
}

} // namespace

gfxRTKDTree::gfxRTKDTree(unsigned int number_of_threads)
    : triangles_(nullptr), first_triangle_(nullptr), number_of_threads_(number_of_threads),
      proxy_block_(nullptr), box_block_(nullptr) {
    PLX_ASSERT(number_of_threads <= MAX_THREADS);
    if (number_of_threads_ > MAX_THREADS)
        number_of_threads_ = MAX_THREADS;
    for (TraversalStack& stack : stacks_)
        stack = TraversalStack{nullptr, nullptr, nullptr};
}

gfxRTKDTree::~gfxRTKDTree() {
    delete_proxies();
    gfx_aligned_free(triangles_);
    triangles_ = nullptr;
    first_triangle_ = nullptr;
    free_traversal_stacks();
}

void gfxRTKDTree::free_traversal_stacks() {
    for (unsigned int slot = 0; slot < number_of_threads_; ++slot) {
        TraversalStack& stack = stacks_[slot];
        delete[] stack.node_offsets;
        gfx_aligned_free(stack.t_near);
        gfx_aligned_free(stack.t_far);
        stack = TraversalStack{nullptr, nullptr, nullptr};
    }
}

bool gfxRTKDTree::allocate_traversal_stacks() {
    free_traversal_stacks();
    const unsigned int entries = max_tree_depth_ + 2;
    bool ok = true;
    for (unsigned int slot = 0; slot < number_of_threads_; ++slot) {
        TraversalStack& stack = stacks_[slot];
        stack.node_offsets = new (std::nothrow) unsigned int[entries];
        stack.t_near = static_cast<__m128*>(gfx_aligned_malloc(entries * 16, 16));
        stack.t_far = static_cast<__m128*>(gfx_aligned_malloc(entries * 16, 16));
        ok = ok && stack.node_offsets != nullptr && stack.t_near != nullptr &&
             stack.t_far != nullptr;
    }
    return ok;
}

void gfxRTKDTree::delete_proxies() {
    std::free(proxies_);
    proxies_ = nullptr;
    delete[] proxy_block_;
    proxy_block_ = nullptr;
    delete[] box_block_;
    box_block_ = nullptr;
}

void gfxRTKDTree::reset(unsigned int number_of_proxies) {
    gfxRTKDTreeBase::reset();
    gfx_aligned_free(triangles_);
    triangles_ = nullptr;
    free_traversal_stacks();
    number_of_nodes_ = 0;
    collect_seeds_ = false;
    static_cast<void>(number_of_proxies); // released as one block, whatever their count
    delete_proxies();
    release_build_scratch();
}

bool gfxRTKDTree::setup_tree_lists(const triAccel* triangles, const ObjectProxy** proxies,
                                   unsigned int n) {
    number_of_nodes_ = 0;
    if (collect_seeds_) {
        node_array_size_ = 8u << (seed_depth_ + 1);
        object_array_size_ = 4;
    } else {
        node_array_size_ = 32 * n;
        object_array_size_ = 3 * n;
    }
    gfx_aligned_free(node_array_);
    gfx_aligned_free(triangles_);
    node_array_ = static_cast<unsigned char*>(gfx_aligned_malloc(node_array_size_, NODE_ALIGNMENT));
    triangles_ = static_cast<const triAccel**>(
        gfx_aligned_malloc(object_array_size_ * unsigned(sizeof(triAccel*)), 16));
    if (node_array_ == nullptr || triangles_ == nullptr)
        return false;
    if (triangles == nullptr)
        return false;

    // One block of proxies and one of boxes: a build makes millions of them.
    delete[] proxy_block_;
    delete[] box_block_;
    proxy_block_ = new (std::nothrow) ObjectProxy[n];
    box_block_ = new (std::nothrow) KDTreeBBox[n];
    if (proxy_block_ == nullptr || box_block_ == nullptr)
        return false;
    for (unsigned int i = 0; i < n; ++i) {
        const triAccel& t = triangles[i];
        KDTreeBBox* box = &box_block_[i];
        for (int axis = 0; axis < 3; ++axis) {
            float lo = t.vertex0[axis], hi = t.vertex0[axis];
            if (t.vertex1[axis] < lo)
                lo = t.vertex1[axis];
            if (t.vertex1[axis] > hi)
                hi = t.vertex1[axis];
            if (t.vertex2[axis] < lo)
                lo = t.vertex2[axis];
            if (t.vertex2[axis] > hi)
                hi = t.vertex2[axis];
            box->bbmin[axis] = lo;
            box->bbmax[axis] = hi;
        }
        proxy_block_[i].bbox = box;
        proxy_block_[i].object = &t;
        proxies[i] = &proxy_block_[i];
    }

    scene_bbox_ = *proxies[0]->bbox;
    for (unsigned int i = 1; i < n; ++i) {
        const KDTreeBBox& box = *proxies[i]->bbox;
        for (int axis = 0; axis < 3; ++axis) {
            if (box.bbmin[axis] < scene_bbox_.bbmin[axis])
                scene_bbox_.bbmin[axis] = box.bbmin[axis];
            if (box.bbmax[axis] > scene_bbox_.bbmax[axis])
                scene_bbox_.bbmax[axis] = box.bbmax[axis];
        }
    }
    next_free_node_ = 16;
    next_free_object_ = 0;
    const double ex = double(scene_bbox_.bbmax[0]) - double(scene_bbox_.bbmin[0]);
    const double ey = double(scene_bbox_.bbmax[1]) - double(scene_bbox_.bbmin[1]);
    const double ez = double(scene_bbox_.bbmax[2]) - double(scene_bbox_.bbmin[2]);
    min_cell_volume_ = ex * ey * ez / min_volume_divisor_;
    return true;
}

bool gfxRTKDTree::create_tree_from_triAccel_list(const triAccel* triangles, unsigned int n) {
    if (memory_manager_ == nullptr)
        return false;
    start_build_statistics();
    bool result = false;
    if (n > 0 && n <= MAX_TRIANGLES) {
        first_triangle_ = triangles;
        max_tree_depth_ = compute_tree_depth(n);
        current_tree_depth_ = 0;
        proxies_ = static_cast<const ObjectProxy**>(std::malloc(n * sizeof(ObjectProxy*)));
        if (proxies_ != nullptr)
            std::memset(proxies_, 0, n * sizeof(ObjectProxy*));
        delete[] leaf_proxies_;
        leaf_proxies_ = new (std::nothrow) const ObjectProxy*[n];
        if (proxies_ != nullptr && leaf_proxies_ != nullptr &&
            setup_tree_lists(triangles, proxies_, n)) {
            unsigned int sizes[3];
            if (setup_split_candidate_lists(n, sizes)) {
                gfxSplitCandidate* lists[3];
                memory_manager_->get_initial_lists(lists);
                result = build_sub_tree_sah(n, 8, sizes, &scene_bbox_, 0, lists);
            }
            memory_manager_->release_all();
            if (result) {
                // Entries past the leaves' are never written.
                for (unsigned int i = next_free_object_; i < object_array_size_; ++i)
                    triangles_[i] = nullptr;
                result = allocate_traversal_stacks();
                statistic_.average_objects_per_cell /= statistic_.number_of_leaves;
                statistic_.number_of_objects = n;
                PLX_ASSERT(0 == current_tree_depth_);
            }
        }
        delete_proxies();
    }
    statistic_.valid = result;
    statistic_.compile_time_sec = seconds_since_build_start();
    if (result)
        return true;
    reset(0);
    return false;
}

bool gfxRTKDTree::store_leaf_data(unsigned int count, unsigned int first) {
    while (next_free_object_ + count >= object_array_size_) {
        // Doubling; a tree without an object array yet (an empty seed) starts at 4.
        const unsigned int grown_size = object_array_size_ > 0 ? 2 * object_array_size_ : 4;
        if (grown_size > 0xFFFFFFFFu / sizeof(triAccel*))
            return false; // the byte size would not fit the allocator's 32 bits
        void* grown = gfx_aligned_realloc(triangles_, object_array_size_ * sizeof(triAccel*),
                                          grown_size * sizeof(triAccel*), 16);
        if (grown == nullptr)
            return false;
        triangles_ = static_cast<const triAccel**>(grown);
        object_array_size_ = grown_size;
    }
    for (unsigned int k = 0; k < count; ++k)
        triangles_[first + k] = static_cast<const triAccel*>(leaf_proxies_[k]->object);
    return true;
}

void gfx_detail::report_kd_stack_check() {
    PlxFatalError("AssertionFailed:stack_index < number_of_nodes_", nullptr, nullptr, nullptr,
                  __FILE__, __LINE__);
}

unsigned int gfxRTKDTree::traverse_tree(const RayPacket* rays, HitPacket* hits,
                                        unsigned int reference_lane, const RenderState* const state,
                                        float max_distance) const {
    if (rays == nullptr || hits == nullptr || state == nullptr || number_of_nodes_ == 0 ||
        node_array_ == nullptr || triangles_ == nullptr)
        return 0;
    // A failed unstream leaves no stacks: what it read is not traced.
    const TraversalStack& stack = stacks_[state->thread_index];
    if (stack.node_offsets == nullptr || stack.t_near == nullptr || stack.t_far == nullptr)
        return 0;
    // The loop itself is in gfxRTHotPaths.inc, compiled once per instruction set.
    gfx_detail::KDTraversal tree;
    tree.nodes = node_array_;
    tree.triangles = triangles_;
    tree.scene_bbox = &scene_bbox_;
    tree.stack_nodes = stack.node_offsets;
    tree.stack_t_near = stack.t_near;
    tree.stack_t_far = stack.t_far;
    tree.number_of_nodes = number_of_nodes_;
    precompute_traversal_order(float_bits(lane(rays->direction.x, reference_lane)),
                               float_bits(lane(rays->direction.y, reference_lane)),
                               float_bits(lane(rays->direction.z, reference_lane)), tree.order);
    return gfx_detail::hot_paths().kd_traverse(tree, *rays, *hits, *state, max_distance);
}
