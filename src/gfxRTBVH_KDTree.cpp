// The BVH whose objects are whole KD-trees: the top level of a two-level
// structure.
#include "gfxRTBVH.h"

#include <cstring>
#include <new>

gfxRTBVH_KDTree::gfxRTBVH_KDTree() : number_of_trees_(0), free_tree_slots_(0), kd_trees_(nullptr) {}

gfxRTBVH_KDTree::~gfxRTBVH_KDTree() {
    for (int i = 0; i < number_of_trees_; ++i)
        delete kd_trees_[i];
    delete[] kd_trees_;
    kd_trees_ = nullptr;
    number_of_trees_ = 0;
    free_tree_slots_ = 0;
}

void gfxRTBVH_KDTree::addTree(gfxRTKDTree* tree) {
    if (tree == nullptr)
        return;
    for (int i = number_of_trees_ - 1; i >= 0; --i)
        if (kd_trees_[i] == tree)
            return;
    if (free_tree_slots_ == 0) {
        const int capacity = number_of_trees_ > 0 ? 2 * number_of_trees_ : 1;
        gfxRTKDTree** grown =
            capacity > number_of_trees_ ? new (std::nothrow) gfxRTKDTree*[capacity] : nullptr;
        if (grown == nullptr) {
            delete tree;
            return;
        }
        if (number_of_trees_ > 0)
            std::memcpy(grown, kd_trees_, sizeof(gfxRTKDTree*) * unsigned(number_of_trees_));
        delete[] kd_trees_;
        kd_trees_ = grown;
        free_tree_slots_ = capacity - number_of_trees_;
    }
    kd_trees_[number_of_trees_++] = tree;
    --free_tree_slots_;
}

const gfxRTKDTree* gfxRTBVH_KDTree::get_tree(unsigned int i) const {
    return i < unsigned(number_of_trees_) ? kd_trees_[i] : nullptr;
}

unsigned int gfxRTBVH_KDTree::get_number_of_objects() const {
    return unsigned(number_of_trees_);
}

void gfxRTBVH_KDTree::get_object_bbox(unsigned int object, __m128& bbmin, __m128& bbmax) const {
    const gfxRTKDTree* tree = get_tree(object);
    if (tree == nullptr)
        return;
    const KDTreeBBox* box = tree->get_scene_bbox();
    bbmin = _mm_setr_ps(box->bbmin[0], box->bbmin[1], box->bbmin[2], 0.0f);
    bbmax = _mm_setr_ps(box->bbmax[0], box->bbmax[1], box->bbmax[2], 0.0f);
}

float gfxRTBVH_KDTree::get_object_intersection_cost(unsigned int object) const {
    const gfxRTKDTree* tree = get_tree(object);
    return tree != nullptr ? float(tree->get_statistic()->number_of_objects) : 0.0f;
}

void gfxRTBVH_KDTree::test_object_hit(unsigned int object, int lane_mask, RayPacket& ray,
                                      HitPacket& hit, const RenderState& state,
                                      float max_distance) const {
    const gfxRTKDTree* tree = get_tree(object);
    if (tree == nullptr)
        return;
    // Direction sign bits (-0.0 counts as negative) of the lanes asked for.
    const int sx = _mm_movemask_ps(ray.direction.x) & lane_mask;
    const int sy = _mm_movemask_ps(ray.direction.y) & lane_mask;
    const int sz = _mm_movemask_ps(ray.direction.z) & lane_mask;
    const int saved = ray.active_mask;
    if ((sx == 0 || sx == lane_mask) && (sy == 0 || sy == lane_mask) &&
        (sz == 0 || sz == lane_mask)) {
        // The lanes share every sign: one traversal for the packet.
        ray.active_mask = saved & lane_mask;
        const unsigned int reference_lane = (ray.active_mask & 1)   ? 0u
                                            : (ray.active_mask & 2) ? 1u
                                            : (ray.active_mask & 4) ? 2u
                                                                    : 3u;
        tree->traverse_tree(&ray, &hit, reference_lane, &state, max_distance);
        ray.active_mask = saved;
        return;
    }
    // Lanes that disagree go one at a time, each on its own copy of the
    // hits, so that a lane's traversal cannot disturb another lane's result.
    for (unsigned int k = 0; k < 4; ++k) {
        if (!((lane_mask >> k) & 1))
            continue;
        HitPacket local = hit;
        ray.active_mask = 1 << k;
        tree->traverse_tree(&ray, &local, k, &state, max_distance);
        const __m128 lane = masktable4[1 << k];
        hit.t = _mm_or_ps(_mm_and_ps(lane, local.t), _mm_andnot_ps(lane, hit.t));
        hit.u = _mm_or_ps(_mm_and_ps(lane, local.u), _mm_andnot_ps(lane, hit.u));
        hit.v = _mm_or_ps(_mm_and_ps(lane, local.v), _mm_andnot_ps(lane, hit.v));
        hit.id = _mm_castps_si128(_mm_or_ps(_mm_and_ps(lane, _mm_castsi128_ps(local.id)),
                                            _mm_andnot_ps(lane, _mm_castsi128_ps(hit.id))));
    }
    ray.active_mask = saved;
}
