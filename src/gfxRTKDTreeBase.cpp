#include "gfxRTKDTreeBase.h"

#include "gfxAlignedMemory.h"
#include "gfxMonotonicClock.h"

#include <cstring>

const unsigned int gfxRTKDTreeBase::NODE_ALIGNMENT = 32;

gfxRTKDTreeBase::gfxRTKDTreeBase()
    : node_array_(nullptr), next_free_node_(0), next_free_object_(0), number_of_nodes_(0),
      node_array_size_(0), object_array_size_(0), scene_bbox_(), leaf_object_threshold_(2),
      max_tree_depth_(0), traversal_cost_(0.2f), empty_space_bonus_(0.5f), min_volume_divisor_(1e9),
      min_cell_volume_(0.0), current_tree_depth_(0), compile_start_ticks_(0), statistic_() {}

gfxRTKDTreeBase::~gfxRTKDTreeBase() {
    gfx_aligned_free(node_array_);
    node_array_ = nullptr;
}

void gfxRTKDTreeBase::debug(gfxJournal&, bool, int) const {}

void gfxRTKDTreeBase::debug_node(unsigned int, unsigned int&, gfxJournal&, bool, int) const {}

void gfxRTKDTreeBase::reset() {
    gfx_aligned_free(node_array_);
    node_array_ = nullptr;
    number_of_nodes_ = 0;
}

void gfxRTKDTreeBase::update_statistics(unsigned int number_of_objects) {
    if (number_of_objects > statistic_.max_objects_in_cell)
        statistic_.max_objects_in_cell = number_of_objects;
    statistic_.average_objects_per_cell += number_of_objects;
    if (number_of_objects == 0)
        ++statistic_.number_of_empty_cells;
    ++statistic_.number_of_leaves;
    if (current_tree_depth_ > statistic_.tree_depth)
        statistic_.tree_depth = current_tree_depth_;
}

void gfxRTKDTreeBase::precompute_traversal_order(unsigned int dx, unsigned int dy, unsigned int dz,
                                                 unsigned int order[3][2]) const {
    const unsigned int bits[3] = {dx, dy, dz};
    for (int axis = 0; axis < 3; ++axis) {
        order[axis][0] = (bits[axis] & 0x80000000u) ? 8u : 0u;
        order[axis][1] = order[axis][0] ^ 8u;
    }
}

void gfxRTKDTreeBase::start_build_statistics() {
    std::memset(&statistic_, 0, sizeof(statistic_));
    statistic_.valid = false;
    compile_start_ticks_ = gfx_detail::monotonic_nanoseconds();
}

double gfxRTKDTreeBase::seconds_since_build_start() const {
    return gfx_detail::seconds_since(compile_start_ticks_);
}
