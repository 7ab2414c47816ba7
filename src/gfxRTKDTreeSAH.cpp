// The SAH recursion: leaf tests, sweep, split and distribution of the lists
// (the sweep and the split themselves are in gfxRTHotPaths.inc).
#include "gfxRTKDTreeSAH.h"

#include "gfxAlignedMemory.h"
#include "gfxKDTreeNodeWords.h"
#include "gfxRTHotPaths.h"
#include "gfxSplitCandidateSort.h"
#include "PlxSystem.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

gfxRTKDTreeSAH::gfxRTKDTreeSAH()
    : proxies_(nullptr), leaf_proxies_(nullptr), seeds_(nullptr), collect_seeds_(false),
      number_of_seeds_(0), seed_depth_(0),
      memory_manager_(new (std::nothrow) gfxSplitCandidateMemoryManager()), side_flags_(nullptr),
      side_flags_size_(0) {}

gfxRTKDTreeSAH::~gfxRTKDTreeSAH() {
    delete[] leaf_proxies_;
    leaf_proxies_ = nullptr;
    proxies_ = nullptr;
    seeds_ = nullptr;
    delete memory_manager_;
    memory_manager_ = nullptr;
    delete[] side_flags_;
    side_flags_ = nullptr;
}

void gfxRTKDTreeSAH::release_build_scratch() {
    delete[] leaf_proxies_;
    leaf_proxies_ = nullptr;
    delete[] side_flags_;
    side_flags_ = nullptr;
    side_flags_size_ = 0;
}

unsigned int gfxRTKDTreeSAH::compute_tree_depth(unsigned int number_of_objects) const {
    if (number_of_objects == 0)
        return 0;
    const float log_n = float(std::log10(double(number_of_objects)));
    return unsigned(std::ceil(double(log_n) * 3.6 + 8.0));
}

bool gfxRTKDTreeSAH::setup_split_candidate_lists(unsigned int number_of_objects,
                                                 unsigned int* list_sizes) {
    return setup_split_candidate_lists_serial(number_of_objects, list_sizes);
}

bool gfxRTKDTreeSAH::setup_split_candidate_lists_serial(unsigned int n, unsigned int* list_sizes) {
    gfxSplitCandidate* lists[3] = {nullptr, nullptr, nullptr};
    bool allocated = true;
    for (int axis = 0; axis < 3; ++axis) {
        list_sizes[axis] = 0;
        lists[axis] = static_cast<gfxSplitCandidate*>(
            std::malloc(std::size_t(2) * n * sizeof(gfxSplitCandidate) + 1));
        allocated = allocated && lists[axis] != nullptr;
    }
    bool result = false;
    if (allocated) {
        for (unsigned int j = 0; j < n; ++j) {
            const KDTreeBBox& box = *proxies_[j]->bbox;
            for (int axis = 0; axis < 3; ++axis)
                list_sizes[axis] = gfx_detail::append_box_events(
                    lists[axis], list_sizes[axis], box.bbmin[axis], box.bbmax[axis], j);
        }
        for (int axis = 0; axis < 3; ++axis)
            allocated =
                gfx_detail::sort_split_candidates(lists[axis], list_sizes[axis]) && allocated;
    }
    if (allocated) {
        unsigned int list_length = list_sizes[0];
        if (list_sizes[1] > list_length)
            list_length = list_sizes[1];
        if (list_sizes[2] > list_length)
            list_length = list_sizes[2];
        if (memory_manager_ != nullptr)
            result = memory_manager_->init(list_length, lists, max_tree_depth_, list_sizes, false,
                                           gfxSplitCandidateMemoryManager::MODEL_SMALL);
    }
    for (gfxSplitCandidate* list : lists)
        std::free(list);
    return result;
}

bool gfxRTKDTreeSAH::create_leaf(unsigned int number_of_objects, unsigned int node_offset) {
    update_statistics(number_of_objects);
    gfx_detail::write_node(node_array_, node_offset, gfx_detail::LEAF_FLAG | next_free_object_,
                           number_of_objects);
    if (!store_leaf_data(number_of_objects, next_free_object_))
        return false;
    next_free_object_ += number_of_objects;
    return true;
}

void gfxRTKDTreeSAH::gather_leaf_objects(unsigned int list_size, const gfxSplitCandidate* x_list) {
    unsigned int count = 0;
    for (unsigned int i = 0; i < list_size; ++i)
        if (x_list[i].type != gfxSplitCandidate::END_EVENT)
            leaf_proxies_[count++] = proxies_[x_list[i].object_index];
}

bool gfxRTKDTreeSAH::make_leaf(unsigned int number_of_objects, unsigned int node_offset,
                               unsigned int list_size, const gfxSplitCandidate* x_list) {
    gather_leaf_objects(list_size, x_list);
    return create_leaf(number_of_objects, node_offset);
}

bool gfxRTKDTreeSAH::ensure_side_flags(unsigned int n, const unsigned int* list_sizes,
                                       gfxSplitCandidate* const* lists) {
    // Sized by the largest object index of the root lists, once per build.
    unsigned int needed = 0;
    for (unsigned int i = 0; i < list_sizes[0]; ++i)
        if (lists[0][i].object_index >= needed)
            needed = lists[0][i].object_index + 1;
    if (needed < n)
        needed = n;
    if (needed <= side_flags_size_ && side_flags_ != nullptr)
        return true;
    delete[] side_flags_;
    side_flags_ = new (std::nothrow) unsigned char[needed > 0 ? needed : 1];
    side_flags_size_ = side_flags_ != nullptr ? needed : 0;
    return side_flags_ != nullptr;
}

bool gfxRTKDTreeSAH::build_sub_tree_sah(unsigned int n, unsigned int node_offset,
                                        const unsigned int* list_sizes, const KDTreeBBox* bbox,
                                        unsigned int list_index, gfxSplitCandidate* const* lists) {
    if (proxies_ == nullptr || bbox == nullptr || memory_manager_ == nullptr)
        return false;
    if (current_tree_depth_ == 0 && !ensure_side_flags(n, list_sizes, lists))
        return false;
    const unsigned int depth = ++current_tree_depth_;

    if (collect_seeds_ && depth > seed_depth_) {
        seeds_[number_of_seeds_] = new (std::nothrow) gfxKDTreeCompileState(
            n, node_offset, lists, list_sizes, bbox, depth, memory_manager_->get_model_size());
        ++number_of_seeds_;
        memory_manager_->release_space(lists, list_index);
        --current_tree_depth_;
        return true;
    }

    ++number_of_nodes_;
    if (node_offset >= node_array_size_) {
        if (node_array_size_ > 0x7FFFFFFFu)
            return false; // twice the size would not fit 32-bit offsets
        unsigned char* grown = static_cast<unsigned char*>(gfx_aligned_realloc(
            node_array_, node_array_size_, 2 * node_array_size_, NODE_ALIGNMENT));
        if (grown == nullptr)
            return false;
        node_array_ = grown;
        node_array_size_ *= 2;
    }

    if (n == 0) {
        if (!create_leaf(0, node_offset))
            return false;
        memory_manager_->release_space(lists, list_index);
        --current_tree_depth_;
        return true;
    }

    const bool may_split = n > leaf_object_threshold_ && depth < max_tree_depth_;
    const float volume = (bbox->bbmax[0] - bbox->bbmin[0]) * (bbox->bbmax[1] - bbox->bbmin[1]) *
                         (bbox->bbmax[2] - bbox->bbmin[2]);
    gfx_detail::KDSplitChoice best{};
    bool make_inner = false;
    if (!(volume < min_cell_volume_) && may_split) {
        // Seeding splits at median events only: cheap, balanced top levels.
        // The sweep is in gfxRTHotPaths.inc, compiled once per instruction set.
        best = gfx_detail::hot_paths().kd_find_split(n, list_sizes, *bbox, lists, collect_seeds_);
        if (best.empty_side)
            best.cost *= (1 - empty_space_bonus_);
        make_inner = !(float(n) - traversal_cost_ <= best.cost);
    }
    if (!make_inner) {
        if (!make_leaf(n, node_offset, list_sizes[0], lists[0]))
            return false;
        memory_manager_->release_space(lists, list_index);
        --current_tree_depth_;
        return true;
    }

    gfxSplitCandidate* left_lists[3];
    gfxSplitCandidate* right_lists[3];
    const unsigned int left_index = memory_manager_->get_free_space(left_lists, 2 * n);
    const unsigned int right_index = memory_manager_->get_free_space(right_lists, 2 * n);
    if (left_index >= memory_manager_->get_max_index() ||
        right_index >= memory_manager_->get_max_index())
        return false;

    const int split_axis = best.axis;
    const float p = best.position;
    // Distribute: an object starting at or above the plane goes right, one
    // ending at or below it left, one crossing it to both sides.
    gfx_detail::KDListSplit split;
    split.lists = lists;
    split.sizes = list_sizes;
    split.axis = split_axis;
    split.position = p;
    split.side_flags = side_flags_;
    split.left_lists = left_lists;
    split.right_lists = right_lists;
    gfx_detail::hot_paths().kd_split_lists(split);
    const unsigned int* const number_of_objects_left = split.objects_left;
    const unsigned int* const number_of_objects_right = split.objects_right;
    PLX_ASSERT((number_of_objects_left[0] == number_of_objects_left[1]) &&
               (number_of_objects_left[1] == number_of_objects_left[2]));
    PLX_ASSERT((number_of_objects_right[0] == number_of_objects_right[1]) &&
               (number_of_objects_right[1] == number_of_objects_right[2]));

    if (p == bbox->bbmin[split_axis] || p == bbox->bbmax[split_axis] ||
        (number_of_objects_left[0] == n && number_of_objects_right[0] == n)) {
        if (!make_leaf(n, node_offset, list_sizes[0], lists[0]))
            return false;
        memory_manager_->release_space(lists, list_index);
        memory_manager_->release_space(left_lists, left_index);
        memory_manager_->release_space(right_lists, right_index);
        --current_tree_depth_;
        return true;
    }

    const unsigned int pair = next_free_node_;
    unsigned int position_bits;
    std::memcpy(&position_bits, &p, 4);
    gfx_detail::write_node(node_array_, node_offset, (pair - node_offset) + unsigned(split_axis),
                           position_bits);
    next_free_node_ += 16;
    KDTreeBBox left_box = *bbox;
    KDTreeBBox right_box = *bbox;
    left_box.bbmax[split_axis] = p;
    right_box.bbmin[split_axis] = p;
    memory_manager_->release_space(lists, list_index);

    if (!build_sub_tree_sah(number_of_objects_left[0], pair, split.left_sizes, &left_box,
                            left_index, left_lists))
        return false;
    if (!build_sub_tree_sah(number_of_objects_right[0], pair + 8, split.right_sizes, &right_box,
                            right_index, right_lists))
        return false;
    --current_tree_depth_;
    return true;
}
